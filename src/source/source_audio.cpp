// The audio of the source stage: decode once, normalise the loudness once,
// cut whole encoder frames from the FIFO, encode AAC once, hand every packet
// to every rendition.
#include <algorithm>

#include "source/source_stage.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
}

namespace {

// Appends a filtered frame's samples to the FIFO, growing it first.
StepStatus store_in_fifo(SourceStage& s, const AVFrame* filtered) {
    AVAudioFifo* fifo = s.audio_fifo.get();
    int ret = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples);
    if (ret < 0)
        return step_failed("could not grow the audio FIFO", ret);
    ret = av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                              filtered->nb_samples);
    if (ret < filtered->nb_samples)
        return step_failed("could not store audio in the FIFO", ret < 0 ? ret : AVERROR(EIO));
    return step_ok();
}

// Sends a frame (null: the end) to the AAC encoder and shares every packet it
// yields.
StepStatus encode_audio(SourceStage& s, FanOut& out, const AVFrame* frame) {
    AVPacket* pkt = s.audio_pkt.get();
    int ret = avcodec_send_frame(s.audio_enc.get(), frame);
    if (ret < 0)
        return step_failed("could not encode audio", ret);
    for (;;) {
        ret = avcodec_receive_packet(s.audio_enc.get(), pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not encode audio", ret);
        const StepStatus status = deliver_audio_packet(out, pkt);
        av_packet_unref(pkt);
        if (status.failed())
            return status;
    }
}

// Encodes `nb_samples` samples from the head of the FIFO as one frame, timed
// by the sample counter: the audio timeline restarts at zero without gaps.
StepStatus encode_from_fifo(SourceStage& s, FanOut& out, int nb_samples) {
    const AVCodecContext* enc_ctx = s.audio_enc.get();
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return step_failed("could not allocate an audio frame", AVERROR(ENOMEM));
    frame->nb_samples = nb_samples;
    int ret = av_channel_layout_copy(&frame->ch_layout, &enc_ctx->ch_layout);
    if (ret < 0)
        return step_failed("could not allocate an audio frame", ret);
    frame->format = enc_ctx->sample_fmt;
    frame->sample_rate = enc_ctx->sample_rate;
    ret = av_frame_get_buffer(frame.get(), 0);
    if (ret < 0)
        return step_failed("could not allocate an audio frame", ret);
    ret = av_audio_fifo_read(s.audio_fifo.get(), reinterpret_cast<void**>(frame->data), nb_samples);
    if (ret < nb_samples)
        return step_failed("could not read audio from the FIFO", ret < 0 ? ret : AVERROR(EIO));
    frame->pts = s.next_audio_pts;
    s.next_audio_pts += nb_samples;
    return encode_audio(s, out, frame.get());
}

// Encodes every whole encoder frame the FIFO holds; a remainder waits for more.
StepStatus encode_whole_frames(SourceStage& s, FanOut& out) {
    const int frame_size = s.audio_enc->frame_size;
    while (av_audio_fifo_size(s.audio_fifo.get()) >= frame_size) {
        const StepStatus status = encode_from_fifo(s, out, frame_size);
        if (status.failed())
            return status;
    }
    return step_ok();
}

// Pulls every frame the filter graph has ready into the FIFO, encoding whole
// frames as they fill up when `encode` is set (during the read loop), or only
// storing them (at the end of the stream, where the tail is cut last).
StepStatus pull_filtered_audio(SourceStage& s, FanOut& out, bool encode) {
    for (;;) {
        FramePtr filtered(av_frame_alloc());
        if (!filtered)
            return step_failed("could not allocate a filtered audio frame", AVERROR(ENOMEM));
        const int ret = av_buffersink_get_frame(s.buffersink_ctx, filtered.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not filter audio", ret);
        StepStatus status = store_in_fifo(s, filtered.get());
        if (!status.failed() && encode)
            status = encode_whole_frames(s, out);
        if (status.failed())
            return status;
    }
}

// Takes every frame the audio decoder yields through the filter graph.
StepStatus filter_decoded_audio(SourceStage& s, FanOut& out, bool encode) {
    AVFrame* decoded = s.decoded_frame.get();
    for (;;) {
        int ret = avcodec_receive_frame(s.audio_dec.get(), decoded);
        // Running out of memory is the decoder's failure, not the packet's.
        if (ret == AVERROR(ENOMEM))
            return step_failed("could not decode audio", ret);
        // Any other negative result ends this packet's frames; a decoding
        // error loses only the audio of the packet that caused it.
        if (ret < 0)
            return step_ok();
        // The source takes the frame's references; the unref covers a refusal.
        ret = av_buffersrc_add_frame_flags(s.buffersrc_ctx, decoded, 0);
        av_frame_unref(decoded);
        if (ret < 0)
            return step_failed("could not feed the audio filter", ret);
        const StepStatus status = pull_filtered_audio(s, out, encode);
        if (status.failed())
            return status;
    }
}

} // namespace

StepStatus decode_audio(SourceStage& s, FanOut& out, const AVPacket* pkt) {
    const int ret = avcodec_send_packet(s.audio_dec.get(), pkt);
    if (ret == AVERROR(ENOMEM))
        return step_failed("could not decode audio", ret);
    // A packet the decoder refuses is dropped, not a failure.
    if (ret < 0)
        return step_ok();
    return filter_decoded_audio(s, out, true);
}

StepStatus finish_audio(SourceStage& s, FanOut& out) {
    avcodec_send_packet(s.audio_dec.get(), nullptr);
    StepStatus status = filter_decoded_audio(s, out, false);
    if (status.failed())
        return status;

    const int ret = av_buffersrc_add_frame_flags(s.buffersrc_ctx, nullptr, 0);
    if (ret < 0)
        return step_failed("could not flush the audio filter", ret);
    status = pull_filtered_audio(s, out, false);
    if (status.failed())
        return status;

    // Only the very last frame may be shorter than the encoder's frame size.
    while (av_audio_fifo_size(s.audio_fifo.get()) > 0) {
        const int nb_samples =
            std::min(s.audio_enc->frame_size, av_audio_fifo_size(s.audio_fifo.get()));
        status = encode_from_fifo(s, out, nb_samples);
        if (status.failed())
            return status;
    }
    return encode_audio(s, out, nullptr);
}
