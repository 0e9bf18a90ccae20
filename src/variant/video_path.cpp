#include "variant/video_path.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "variant/packet_writer.h"

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

// The encoder timestamp (1/30 s ticks) for a decoded picture, or
// AV_NOPTS_VALUE when the picture must be dropped: timestamps that reach the
// encoder and the muxer strictly increase, so a source faster than 30
// pictures per second loses the pictures that round onto a taken tick.
int64_t retime_picture(const VideoTimeline& timeline, const AVFrame* decoded,
                       AVRational in_time_base, AVRational enc_time_base) {
    const int64_t since_origin = time_since_origin(decoded->pts, timeline.origin);
    if (since_origin == AV_NOPTS_VALUE)
        return timeline.last_pts == AV_NOPTS_VALUE ? 0 : timeline.last_pts + 1;
    const int64_t pts = av_rescale_q(since_origin, in_time_base, enc_time_base);
    if (timeline.last_pts != AV_NOPTS_VALUE && pts <= timeline.last_pts)
        return AV_NOPTS_VALUE;
    return pts;
}

// How long the picture lasts, in the output stream's time base: its own
// duration, but never less than the encoder tick it occupies.
int64_t picture_duration(const VariantPipeline& p, const AVFrame* decoded) {
    const AVRational in_time_base = p.video_in()->time_base;
    const AVRational out_time_base = p.video_out->time_base;
    int64_t duration = decoded_duration(decoded);
    if (duration > 0)
        duration = av_rescale_q(duration, in_time_base, out_time_base);
    else if (p.video_in()->avg_frame_rate.num > 0 && p.video_in()->avg_frame_rate.den > 0)
        duration = av_rescale_q(1, av_inv_q(p.video_in()->avg_frame_rate), out_time_base);
    return std::max(duration, av_rescale_q(1, p.video_enc->time_base, out_time_base));
}

// Scales the decoded picture into the encoder's picture buffer. The scaler is
// remade whenever the decoded size or pixel format changes mid-stream.
StepStatus scale_picture(VariantPipeline& p) {
    const AVFrame* decoded = p.decoded_frame.get();
    AVFrame* scaled = p.scaled_frame.get();
    p.scaler.reset(sws_getCachedContext(p.scaler.release(), decoded->width, decoded->height,
                                        static_cast<AVPixelFormat>(decoded->format), scaled->width,
                                        scaled->height, static_cast<AVPixelFormat>(scaled->format),
                                        SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!p.scaler)
        return step_failed("could not create the scaler", AVERROR(EINVAL));
    // The encoder may still hold a reference to the last picture's buffer.
    int ret = av_frame_make_writable(scaled);
    if (ret < 0)
        return step_failed("could not make the scaled picture writable", ret);
    ret = sws_scale(p.scaler.get(), decoded->data, decoded->linesize, 0, decoded->height,
                    scaled->data, scaled->linesize);
    if (ret < 0)
        return step_failed("could not scale a picture", ret);
    return step_ok();
}

StepStatus encode_picture(VariantPipeline& p) {
    const AVFrame* decoded = p.decoded_frame.get();
    VideoTimeline& timeline = p.video_timeline;
    const int64_t pts =
        retime_picture(timeline, decoded, p.video_in()->time_base, p.video_enc->time_base);
    if (pts == AV_NOPTS_VALUE)
        return step_ok();
    const StepStatus status = scale_picture(p);
    if (status.failed())
        return status;
    p.scaled_frame->pts = pts;
    timeline.last_pts = pts;
    remember_video_duration(timeline, pts, picture_duration(p, decoded));
    return encode_and_write(p.video_enc.get(), p.output.get(), p.video_out, p.scaled_frame.get(),
                            p.enc_pkt.get(), &timeline);
}

} // namespace

StepStatus encode_decoded_pictures(VariantPipeline& p) {
    // Any negative result (more input needed, end of stream, a decoding error
    // alike) ends the pictures of this packet; a bad packet is not a failure.
    while (avcodec_receive_frame(p.video_dec.get(), p.decoded_frame.get()) >= 0) {
        const StepStatus status = encode_picture(p);
        av_frame_unref(p.decoded_frame.get());
        if (status.failed())
            return status;
    }
    return step_ok();
}

StepStatus process_video_packet(VariantPipeline& p) {
    if (avcodec_send_packet(p.video_dec.get(), p.read_pkt.get()) < 0)
        return step_ok();
    return encode_decoded_pictures(p);
}
