#include "variant/packet_writer.h"

namespace {

int64_t duration_slot(int64_t pts) {
    const int64_t slot = pts % VideoTimeline::DURATION_SLOTS;
    return slot < 0 ? slot + VideoTimeline::DURATION_SLOTS : slot;
}

// The remembered duration of the picture behind a packet, or one encoder tick
// when the picture is no longer remembered.
int64_t video_packet_duration(const VideoTimeline& timeline, int64_t enc_pts,
                              AVRational enc_time_base, AVRational out_time_base) {
    const int64_t slot = duration_slot(enc_pts);
    if (enc_pts != AV_NOPTS_VALUE && timeline.slot_pts[slot] == enc_pts &&
        timeline.slot_duration[slot] > 0)
        return timeline.slot_duration[slot];
    return av_rescale_q(1, enc_time_base, out_time_base);
}

} // namespace

void remember_video_duration(VideoTimeline& timeline, int64_t pts, int64_t duration) {
    const int64_t slot = duration_slot(pts);
    timeline.slot_pts[slot] = pts;
    timeline.slot_duration[slot] = duration;
}

StepStatus encode_and_write(AVCodecContext* enc_ctx, AVFormatContext* out_ctx, AVStream* out_stream,
                            const AVFrame* frame, AVPacket* enc_pkt,
                            const VideoTimeline* timeline) {
    const bool is_video = enc_ctx->codec_type == AVMEDIA_TYPE_VIDEO;
    int ret = avcodec_send_frame(enc_ctx, frame);
    if (ret < 0)
        return step_failed(is_video ? "could not encode video" : "could not encode audio", ret);
    for (;;) {
        ret = avcodec_receive_packet(enc_ctx, enc_pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed(is_video ? "could not encode video" : "could not encode audio", ret);

        const int64_t enc_pts = enc_pkt->pts;
        // The muxer may have changed the stream's time base in its header.
        av_packet_rescale_ts(enc_pkt, enc_ctx->time_base, out_stream->time_base);
        if (timeline && enc_pkt->duration <= 0)
            enc_pkt->duration = video_packet_duration(*timeline, enc_pts, enc_ctx->time_base,
                                                      out_stream->time_base);
        enc_pkt->stream_index = out_stream->index;
        // Takes the packet's reference on success and failure alike.
        ret = av_interleaved_write_frame(out_ctx, enc_pkt);
        if (ret < 0)
            return step_failed(is_video ? "could not write a video packet"
                                        : "could not write an audio packet",
                               ret);
    }
}
