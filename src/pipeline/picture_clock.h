// The output's constant frame rate and what hangs on it: the keyframe interval
// and the segment duration. Chosen once per job; every rendition shares it.
#pragma once

#include <string>

extern "C" {
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
