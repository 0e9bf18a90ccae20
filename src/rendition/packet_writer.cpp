#include "rendition/packet_writer.h"

#include <algorithm>

namespace {

int64_t duration_slot(int64_t pts) {
    const int64_t slot = pts % PictureDurations::SLOTS;
    return slot < 0 ? slot + PictureDurations::SLOTS : slot;
}

// The remembered duration of the picture behind a packet, or one encoder tick
// when the picture is no longer remembered.
int64_t video_packet_duration(const PictureDurations& durations, int64_t enc_pts,
                              AVRational enc_time_base, AVRational out_time_base) {
    const int64_t slot = duration_slot(enc_pts);
    if (enc_pts != AV_NOPTS_VALUE && durations.slot_pts[slot] == enc_pts &&
        durations.slot_duration[slot] > 0)
        return durations.slot_duration[slot];
    return av_rescale_q(1, enc_time_base, out_time_base);
}

// Hands a packet timed in the stream's time base to the muxer, which takes
// its reference on success and failure alike.
// Notes a stream's first timestamp: the lowest of them decides where the
// muxer puts time zero.
void note_stream_start(RenditionStage& r, const AVPacket* pkt, const AVStream* stream) {
    bool& started = stream == r.video_out ? r.video_started : r.audio_started;
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (started || ts == AV_NOPTS_VALUE)
        return;
    started = true;
    const int64_t start = av_rescale_q_rnd(ts, stream->time_base, AVRational{1, 90000},
                                           AV_ROUND_DOWN);
    r.lowest_start_90k = std::min(r.lowest_start_90k, start);
}

StepStatus mux_packet(RenditionStage& r, AVPacket* pkt, const AVStream* stream, const char* step) {
    pkt->stream_index = stream->index;
    note_stream_start(r, pkt, stream);
    const int ret = av_interleaved_write_frame(r.output.get(), pkt);
    if (ret < 0) {
        // A file the muxer could not open or write says more than the packet.
        if (r.output_files.first_error < 0)
            return step_failed(WRITE_STEP, r.output_files.first_error);
        return step_failed(step, ret);
    }
    return step_ok();
}

// Packets leave the encoder in decoding order, so the latest end is kept.
void note_picture_written(RenditionStage& r, int64_t end_us) {
    r.progress.pictures.fetch_add(1);
    if (end_us > r.written_end_us) {
        r.written_end_us = end_us;
        r.progress.written_us.store(end_us);
    }
}

} // namespace

void remember_picture_duration(PictureDurations& durations, int64_t pts, int64_t duration) {
    const int64_t slot = duration_slot(pts);
    durations.slot_pts[slot] = pts;
    durations.slot_duration[slot] = duration;
}

StepStatus encode_and_write_video(RenditionStage& r, const AVFrame* frame) {
    AVCodecContext* enc_ctx = r.video_enc.get();
    AVPacket* pkt = r.enc_pkt.get();
    int ret = avcodec_send_frame(enc_ctx, frame);
    if (ret < 0)
        return step_failed("could not encode video", ret);
    for (;;) {
        ret = avcodec_receive_packet(enc_ctx, pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not encode video", ret);
        const int64_t enc_pts = pkt->pts;
        // The warm-up's pictures: all of them come before the window's key
        // picture in decoding order, and nothing after it refers to them.
        if (r.rendition.window_start > 0 && enc_pts != AV_NOPTS_VALUE &&
            enc_pts < r.rendition.window_start) {
            av_packet_unref(pkt);
            continue;
        }
        // The muxer may have changed the stream's time base in its header.
        av_packet_rescale_ts(pkt, enc_ctx->time_base, r.video_out->time_base);
        if (pkt->duration <= 0)
            pkt->duration = video_packet_duration(r.durations, enc_pts, enc_ctx->time_base,
                                                  r.video_out->time_base);
        // Read before the muxer takes the packet.
        const int64_t end_us =
            pkt->pts == AV_NOPTS_VALUE
                ? r.written_end_us
                : av_rescale_q(pkt->pts + pkt->duration, r.video_out->time_base, AV_TIME_BASE_Q);
        const StepStatus status = mux_packet(r, pkt, r.video_out, "could not write a video packet");
        if (status.failed())
            return status;
        note_picture_written(r, end_us);
    }
}

StepStatus write_audio_packet(RenditionStage& r, AVPacket* pkt, AVRational time_base) {
    av_packet_rescale_ts(pkt, time_base, r.audio_out->time_base);
    // An audio rendition's progress is its sound.
    const int64_t end_us =
        pkt->pts == AV_NOPTS_VALUE
            ? r.written_end_us
            : av_rescale_q(pkt->pts + pkt->duration, r.audio_out->time_base, AV_TIME_BASE_Q);
    const StepStatus status = mux_packet(r, pkt, r.audio_out, "could not write an audio packet");
    if (!status.failed() && r.rendition.audio_track >= 0 && end_us > r.written_end_us) {
        r.written_end_us = end_us;
        r.progress.written_us.store(end_us);
    }
    return status;
}

StepStatus write_video_packet(RenditionStage& r, AVPacket* pkt, AVRational time_base) {
    av_packet_rescale_ts(pkt, time_base, r.video_out->time_base);
    // Every picture of the output grid lasts one tick.
    if (pkt->duration <= 0)
        pkt->duration = av_rescale_q(1, r.rendition.clock.time_base(), r.video_out->time_base);
    const int64_t end_us =
        pkt->pts == AV_NOPTS_VALUE
            ? r.written_end_us
            : av_rescale_q(pkt->pts + pkt->duration, r.video_out->time_base, AV_TIME_BASE_Q);
    const StepStatus status = mux_packet(r, pkt, r.video_out, "could not write a video packet");
    if (!status.failed())
        note_picture_written(r, end_us);
    return status;
}
