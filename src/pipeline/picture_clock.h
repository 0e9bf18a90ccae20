// The output's constant frame rate and what hangs on it: the keyframe interval
// and the segment duration. Chosen once per job; every rendition shares it.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

struct PictureClock {
    AVRational frame_rate{30, 1};
    int keyframe_interval = 60; // pictures
    // The HLS muxer's hls_time: a keyframe that comes at or after a multiple
    // of it starts a new segment.
    std::string segment_seconds = "6";
    // The pictures of one segment: a split job's chunks start at multiples of
    // it, so that each chunk's first keyframe is also a segment's start.
    int segment_pictures = 180;

    // The grid every picture's pts is on: one tick per picture.
    AVRational time_base() const { return av_inv_q(frame_rate); }
};

// The tick of the grid nearest to `since_origin` (in `in_time_base`). The
// specified 30 fps grid rounds a half tick up; a grid at the source's own
// rate (or half of it) rounds it down, so that of two pictures sharing a
// tick the one on time is the one kept.
inline int64_t nearest_tick(int64_t since_origin, AVRational in_time_base, AVRational grid,
                            bool half_down) {
    if (!half_down)
        return av_rescale_q(since_origin, in_time_base, grid);
    // ceil(2x), then ceil((ceil(2x) - 1) / 2) = ceil(x - 1/2): x rounded half down.
    const int64_t twice = av_rescale_rnd(since_origin, int64_t{2} * in_time_base.num * grid.den,
                                         int64_t{in_time_base.den} * grid.num, AV_ROUND_UP);
    const int64_t n = twice - 1;
    return n >= 0 ? (n + 1) / 2 : -(-n / 2);
}
