#include "variant/audio_path.h"

#include <algorithm>

#include "variant/packet_writer.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
}

namespace {

// Appends a filtered frame's samples to the FIFO, growing it first.
StepStatus store_in_fifo(VariantPipeline& p, const AVFrame* filtered) {
    AVAudioFifo* fifo = p.audio_fifo.get();
    int ret = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples);
    if (ret < 0)
        return step_failed("could not grow the audio FIFO", ret);
    ret = av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                              filtered->nb_samples);
    if (ret < filtered->nb_samples)
        return step_failed("could not store audio in the FIFO", ret < 0 ? ret : AVERROR(EIO));
    return step_ok();
}

// Encodes `nb_samples` samples from the head of the FIFO as one frame, timed
// by the sample counter: the audio timeline restarts at zero without gaps.
StepStatus encode_from_fifo(VariantPipeline& p, int nb_samples) {
    const AVCodecContext* enc_ctx = p.audio_enc.get();
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
    ret = av_audio_fifo_read(p.audio_fifo.get(), reinterpret_cast<void**>(frame->data), nb_samples);
    if (ret < nb_samples)
        return step_failed("could not read audio from the FIFO", ret < 0 ? ret : AVERROR(EIO));
    frame->pts = p.next_audio_pts;
    p.next_audio_pts += nb_samples;
    return encode_and_write(p.audio_enc.get(), p.output.get(), p.audio_out, frame.get(),
                            p.enc_pkt.get());
}

// Encodes every whole encoder frame the FIFO holds; a remainder waits for more.
StepStatus encode_whole_frames(VariantPipeline& p) {
    const int frame_size = p.audio_enc->frame_size;
    while (av_audio_fifo_size(p.audio_fifo.get()) >= frame_size) {
        const StepStatus status = encode_from_fifo(p, frame_size);
        if (status.failed())
            return status;
    }
    return step_ok();
}

// Pulls every frame the filter graph has ready into the FIFO, encoding whole
// frames as they fill up when `encode` is set (during the read loop), or only
// storing them (at the end of the stream, where the tail is cut last).
StepStatus pull_filtered_audio(VariantPipeline& p, bool encode) {
    for (;;) {
        FramePtr filtered(av_frame_alloc());
        if (!filtered)
            return step_failed("could not allocate a filtered audio frame", AVERROR(ENOMEM));
        const int ret = av_buffersink_get_frame(p.buffersink_ctx, filtered.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not filter audio", ret);
        StepStatus status = store_in_fifo(p, filtered.get());
        if (!status.failed() && encode)
            status = encode_whole_frames(p);
        if (status.failed())
            return status;
    }
}

// Takes every frame the audio decoder yields through the filter graph.
StepStatus filter_decoded_audio(VariantPipeline& p, bool encode) {
    AVFrame* decoded = p.decoded_frame.get();
    // Any negative result ends this packet's frames; a decoding error loses
    // only the audio of the packet that caused it.
    while (avcodec_receive_frame(p.audio_dec.get(), decoded) >= 0) {
        // The source takes the frame's references; the unref covers a refusal.
        const int ret = av_buffersrc_add_frame_flags(p.buffersrc_ctx, decoded, 0);
        av_frame_unref(decoded);
        if (ret < 0)
            return step_failed("could not feed the audio filter", ret);
        const StepStatus status = pull_filtered_audio(p, encode);
        if (status.failed())
            return status;
    }
    return step_ok();
}

} // namespace

StepStatus process_audio_packet(VariantPipeline& p) {
    if (avcodec_send_packet(p.audio_dec.get(), p.read_pkt.get()) < 0)
        return step_ok();
    return filter_decoded_audio(p, true);
}

StepStatus finish_audio(VariantPipeline& p) {
    avcodec_send_packet(p.audio_dec.get(), nullptr);
    StepStatus status = filter_decoded_audio(p, false);
    if (status.failed())
        return status;

    int ret = av_buffersrc_add_frame_flags(p.buffersrc_ctx, nullptr, 0);
    if (ret < 0)
        return step_failed("could not flush the audio filter", ret);
    status = pull_filtered_audio(p, false);
    if (status.failed())
        return status;

    // Only the very last frame may be shorter than the encoder's frame size.
    while (av_audio_fifo_size(p.audio_fifo.get()) > 0) {
        const int nb_samples =
            std::min(p.audio_enc->frame_size, av_audio_fifo_size(p.audio_fifo.get()));
        status = encode_from_fifo(p, nb_samples);
        if (status.failed())
            return status;
    }
    return encode_and_write(p.audio_enc.get(), p.output.get(), p.audio_out, nullptr,
                            p.enc_pkt.get());
}
