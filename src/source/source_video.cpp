// The video of the source stage: decode once, put each picture on the 1/30 s
// output grid, hand it to every rendition.
#include <cstdint>
#include <limits>

#include "source/source_stage.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

int64_t decoded_duration(const AVFrame* frame) {
#if LIBAVUTIL_VERSION_MAJOR >= 58
    return frame->duration;
#else
    return frame->pkt_duration;
#endif
}

// The picture's time since the input's origin, in the input stream's time
// base, or AV_NOPTS_VALUE when it has none (or one too far out to subtract).
int64_t time_since_origin(int64_t pts, int64_t origin) {
    if (pts == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    if ((origin > 0 && pts < std::numeric_limits<int64_t>::min() + origin) ||
        (origin < 0 && pts > std::numeric_limits<int64_t>::max() + origin))
        return AV_NOPTS_VALUE;
    return pts - origin;
}

// The output timestamp (1/30 s ticks) of a decoded picture, or AV_NOPTS_VALUE
// when the picture must be dropped: timestamps that reach the encoders and
// the muxers strictly increase, so a source faster than 30 pictures per second
// loses the pictures that round onto a taken tick. A picture without a
// timestamp takes the tick after the last one.
int64_t retime_picture(PictureTimeline& timeline, const AVFrame* decoded,
                       AVRational in_time_base) {
    const int64_t since_origin =
        time_since_origin(decoded->best_effort_timestamp, timeline.origin);
    if (since_origin == AV_NOPTS_VALUE)
        return timeline.last_pts == AV_NOPTS_VALUE ? 0 : timeline.last_pts + 1;
    const int64_t pts = av_rescale_q(since_origin, in_time_base, PICTURE_TIME_BASE);
    if (timeline.last_pts != AV_NOPTS_VALUE && pts <= timeline.last_pts) {
        if (pts < timeline.last_pts)
            ++timeline.dropped_behind;
        return AV_NOPTS_VALUE;
    }
    return pts;
}

// How long the picture lasts: its own duration, or one picture of the
// stream's average rate. Each rendition rounds it into its muxer's time base.
MediaDuration picture_duration(const SourceStage& s, const AVFrame* decoded) {
    const AVStream* stream = s.video_in();
    const int64_t duration = decoded_duration(decoded);
    if (duration > 0)
        return {duration, stream->time_base};
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        return {1, av_inv_q(stream->avg_frame_rate)};
    return {};
}

// A video that starts after the origin (after the sound) starts with its
// first picture held from the origin on, as players of the input show it, so
// that every variant starts at the origin with a picture.
StepStatus hold_first_picture(const SourceStage& s, FanOut& out, const AVFrame* first,
                              int64_t pts) {
    if (!fill_may_reach(s, av_rescale_q(pts, PICTURE_TIME_BASE, AV_TIME_BASE_Q)))
        return step_failed("the video's clock starts more than 10 seconds ahead",
                           AVERROR_INVALIDDATA);
    for (int64_t tick = 0; tick < pts; ++tick) {
        const StepStatus status = deliver_picture(out, first, tick, {1, PICTURE_TIME_BASE});
        if (status.failed())
            return status;
    }
    return step_ok();
}

StepStatus deliver_decoded_pictures(SourceStage& s, FanOut& out) {
    AVFrame* decoded = s.decoded_frame.get();
    for (;;) {
        const int ret = avcodec_receive_frame(s.video_dec.get(), decoded);
        // Running out of memory is the decoder's failure, not the packet's.
        if (ret == AVERROR(ENOMEM))
            return step_failed("could not decode video", ret);
        // Any other negative result (more input needed, end of stream, a
        // decoding error alike) ends the pictures of this packet.
        if (ret < 0)
            return step_ok();
        const bool first = s.timeline.last_pts == AV_NOPTS_VALUE;
        const int64_t pts = retime_picture(s.timeline, decoded, s.video_in()->time_base);
        StepStatus status;
        // A first picture on the first tick or the next starts the video where
        // the input starts it, to within the grid's rounding.
        if (first && pts != AV_NOPTS_VALUE && pts > 1)
            status = hold_first_picture(s, out, decoded, pts);
        if (!status.failed() && pts != AV_NOPTS_VALUE) {
            s.timeline.last_pts = pts;
            status = deliver_picture(out, decoded, pts, picture_duration(s, decoded));
        }
        av_frame_unref(decoded);
        if (status.failed())
            return status;
    }
}

} // namespace

StepStatus decode_video(SourceStage& s, FanOut& out, const AVPacket* pkt) {
    // A null packet asks the decoder for the pictures it still holds.
    const int ret = avcodec_send_packet(s.video_dec.get(), pkt);
    if (ret == AVERROR(ENOMEM))
        return step_failed("could not decode video", ret);
    // A packet the decoder refuses is dropped, not a failure.
    if (ret < 0 && pkt)
        return step_ok();
    return deliver_decoded_pictures(s, out);
}
