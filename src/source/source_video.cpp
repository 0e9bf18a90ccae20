// The video of the source stage: decode once, convert the colours and turn
// upright, put each picture on the output grid, hand it to every rendition.
#include <cstdint>
#include <limits>

#include "source/source_stage.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/version.h>
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

// The output timestamp (ticks of the grid) of a decoded picture, or
// AV_NOPTS_VALUE when the picture must be dropped: timestamps that reach the
// encoders and the muxers strictly increase, so a source faster than the
// output's rate loses the pictures that round onto a taken tick. A picture
// without a timestamp takes the tick after the last one.
int64_t retime_picture(SourceStage& s, const AVFrame* decoded) {
    PictureTimeline& timeline = s.timeline;
    const AVRational in_time_base = s.video_in()->time_base;
    const int64_t since_origin =
        time_since_origin(decoded->best_effort_timestamp, timeline.origin);
    if (since_origin == AV_NOPTS_VALUE)
        return timeline.last_pts == AV_NOPTS_VALUE ? 0 : timeline.last_pts + 1;
    const int64_t pts =
        nearest_tick(since_origin, in_time_base, s.picture_time_base, s.profile.source_frame_rate);
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
    // At a constant output rate every picture lasts one tick.
    if (s.profile.source_frame_rate)
        return {1, s.picture_time_base};
    const AVStream* stream = s.video_in();
    const int64_t duration = decoded_duration(decoded);
    if (duration > 0)
        return {duration, stream->time_base};
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        return {1, av_inv_q(stream->avg_frame_rate)};
    return {};
}

// Only the pictures of the run's window (and the warm-up just before it) go
// on; those before still set the timeline and the held picture, as they would
// in the whole title.
StepStatus deliver_in_window(const SourceStage& s, FanOut& out, const AVFrame* picture,
                             int64_t tick, MediaDuration duration) {
    if (tick < s.first_tick - s.warm_up_ticks || (s.end_tick >= 0 && tick >= s.end_tick))
        return step_ok();
    return deliver_picture(out, picture, tick, duration);
}

// A video that starts after the origin (after the sound) starts with its
// first picture held from the origin on, as players of the input show it, so
// that every variant starts at the origin with a picture.
StepStatus hold_first_picture(const SourceStage& s, FanOut& out, const AVFrame* first,
                              int64_t pts) {
    if (!fill_may_reach(s, av_rescale_q(pts, s.picture_time_base, AV_TIME_BASE_Q)))
        return step_failed("the video's clock starts more than 10 seconds ahead",
                           AVERROR_INVALIDDATA);
    for (int64_t tick = 0; tick < pts; ++tick) {
        const StepStatus status = deliver_in_window(s, out, first, tick, {1, s.picture_time_base});
        if (status.failed())
            return status;
    }
    return step_ok();
}

// At a constant output rate a gap in the timestamps (a variable-rate source,
// a lost picture) is filled with the last picture, as players of the input
// show it, as far as filling may reach.
StepStatus fill_gap_before(SourceStage& s, FanOut& out, int64_t pts) {
    if (!s.profile.source_frame_rate || !s.held_picture ||
        s.timeline.last_pts == AV_NOPTS_VALUE || pts <= s.timeline.last_pts + 1)
        return step_ok();
    if (!fill_may_reach(s, av_rescale_q(pts, s.picture_time_base, AV_TIME_BASE_Q)))
        return step_ok();
    for (int64_t tick = s.timeline.last_pts + 1; tick < pts; ++tick) {
        const StepStatus status =
            deliver_in_window(s, out, s.held_picture.get(), tick, {1, s.picture_time_base});
        if (status.failed())
            return status;
    }
    return step_ok();
}

StepStatus hold_for_gaps(SourceStage& s, const AVFrame* shown) {
    if (!s.profile.source_frame_rate)
        return step_ok();
    if (!s.held_picture) {
        s.held_picture.reset(av_frame_alloc());
        if (!s.held_picture)
            return step_failed("could not keep a picture", AVERROR(ENOMEM));
    }
    av_frame_unref(s.held_picture.get());
    const int ret = av_frame_ref(s.held_picture.get(), shown);
    if (ret < 0)
        return step_failed("could not keep a picture", ret);
    return step_ok();
}

// Converts a decoded picture that got its tick and turns it upright, and
// hands it on with the pictures that fill the time before it.
StepStatus deliver_timed_picture(SourceStage& s, FanOut& out, AVFrame* decoded, int64_t pts,
                                 bool first) {
    const AVFrame* shown = nullptr;
    // A seek that lands after the window's start would leave its first
    // pictures out.
    if (first && s.first_tick > 0 && pts > s.first_tick)
        return step_failed("the seek landed after the chunk's start", AVERROR_INVALIDDATA);
    AVFrame* coloured = nullptr;
    StepStatus status = convert_colour(s, decoded, coloured);
    if (!status.failed())
        status = turn_upright(s, coloured, shown);
    // A first picture on the first tick or the next starts the video where
    // the input starts it, to within the grid's rounding.
    if (!status.failed() && first && pts > 1 && s.first_tick == 0)
        status = hold_first_picture(s, out, shown, pts);
    if (!status.failed())
        status = fill_gap_before(s, out, pts);
    if (!status.failed()) {
        s.timeline.last_pts = pts;
        status = deliver_in_window(s, out, shown, pts, picture_duration(s, decoded));
    }
    if (!status.failed())
        status = hold_for_gaps(s, shown);
    if (s.upright_frame)
        av_frame_unref(s.upright_frame.get());
    if (s.colour.converted)
        av_frame_unref(s.colour.converted.get());
    return status;
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
        const int64_t pts = retime_picture(s, decoded);
        StepStatus status;
        if (pts != AV_NOPTS_VALUE)
            status = deliver_timed_picture(s, out, decoded, pts, first);
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
