// Setup of the source stage: the audio stream, both decoders, the AAC encoder,
// the loudness graph, the FIFO and the work buffers.
#include <memory>

#include "source/source_stage.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

StepStatus choose_audio_stream(SourceStage& s, JobLog& log) {
    if (s.input.stream_info_result < 0)
        return step_failed("could not read stream information", s.input.stream_info_result);
    // A stream no decoder exists for is no sound to normalise either.
    if (s.wants_sound && s.input.audio_index < 0 && !s.profile.video_only)
        return step_failed("could not find an audio stream", s.input.audio_missing);
    s.audio_index = s.wants_sound ? s.input.audio_index : -1;
    s.audio_decoder = s.input.audio_decoder;
    if (!s.has_audio() && s.wants_sound)
        log_message(log, LOG_WARN, "No usable audio stream: the variants carry video only.");
    const AVCodecParameters* codecpar = s.video_in()->codecpar;
    if (int64_t{codecpar->width} * codecpar->height > MAX_INPUT_PIXELS)
        return step_failed("the input's picture is larger than 8192x8192 pixels", AVERROR(ERANGE));
    return step_ok();
}

StepStatus open_decoder(CodecContextPtr& dec_ctx, const AVCodec* decoder, const AVStream* stream,
                        const char* alloc_step, const char* open_step) {
    dec_ctx.reset(avcodec_alloc_context3(decoder));
    if (!dec_ctx)
        return step_failed(alloc_step, AVERROR(ENOMEM));
    int ret = avcodec_parameters_to_context(dec_ctx.get(), stream->codecpar);
    if (ret < 0)
        return step_failed(alloc_step, ret);
    // Decoded timestamps are in the stream's time base; decoders that trim
    // priming samples need to know it to shift them.
    dec_ctx->pkt_timebase = stream->time_base;
    // Pictures that grow past the limit mid-stream are refused by the decoder.
    dec_ctx->max_pixels = MAX_INPUT_PIXELS;
    ret = avcodec_open2(dec_ctx.get(), decoder, nullptr);
    if (ret < 0)
        return step_failed(open_step, ret);
    return step_ok();
}

// 44100 Hz stereo AAC at 128 kb/s, the one audio track of every variant.
StepStatus open_audio_encoder(SourceStage& s) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!encoder)
        return step_failed("no AAC encoder available", AVERROR_ENCODER_NOT_FOUND);
    s.audio_enc.reset(avcodec_alloc_context3(encoder));
    if (!s.audio_enc)
        return step_failed("could not allocate the audio encoder", AVERROR(ENOMEM));
    AVCodecContext* enc_ctx = s.audio_enc.get();
    enc_ctx->sample_rate = 44100;
    av_channel_layout_default(&enc_ctx->ch_layout, 2);
    enc_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    enc_ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    enc_ctx->bit_rate = 128000;
    enc_ctx->time_base = AVRational{1, enc_ctx->sample_rate};
    const int ret = avcodec_open2(enc_ctx, encoder, nullptr);
    if (ret < 0)
        return step_failed("could not open the audio encoder", ret);
    // Audio is cut into frames of exactly this many samples.
    if (enc_ctx->frame_size <= 0)
        return step_failed("could not open the audio encoder", AVERROR(EINVAL));
    return step_ok();
}

StepStatus open_codecs(SourceStage& s) {
    StepStatus status =
        open_decoder(s.video_dec, s.input.video_decoder, s.video_in(),
                     "could not set up the video decoder", "could not open the video decoder");
    if (status.failed() || !s.has_audio())
        return status;
    status = open_decoder(s.audio_dec, s.audio_decoder, s.audio_in(),
                          "could not set up the audio decoder", "could not open the audio decoder");
    if (status.failed())
        return status;
    return open_audio_encoder(s);
}

// The audio every rendition muxes, described by the encoder after it was
// opened, so that the parameters carry its global header; none for a video
// without sound.
StepStatus announce_audio(SourceStage& s, FanOut& out) {
    if (!s.has_audio()) {
        deliver_audio_parameters(out, nullptr);
        return step_ok();
    }
    auto audio = std::make_shared<AudioStreamParameters>();
    audio->codecpar.reset(avcodec_parameters_alloc());
    if (!audio->codecpar)
        return step_failed("could not describe the audio stream", AVERROR(ENOMEM));
    const int ret = avcodec_parameters_from_context(audio->codecpar.get(), s.audio_enc.get());
    if (ret < 0)
        return step_failed("could not describe the audio stream", ret);
    audio->time_base = s.audio_enc->time_base;
    deliver_audio_parameters(out, audio);
    return step_ok();
}

StepStatus allocate_work_buffers(SourceStage& s) {
    if (s.has_audio()) {
        // Room for one sample: the FIFO is grown before every write.
        s.audio_fifo.reset(
            av_audio_fifo_alloc(s.audio_enc->sample_fmt, s.audio_enc->ch_layout.nb_channels, 1));
        if (!s.audio_fifo)
            return step_failed("could not allocate the audio FIFO", AVERROR(ENOMEM));
    }
    s.read_pkt.reset(av_packet_alloc());
    s.audio_pkt.reset(av_packet_alloc());
    s.decoded_frame.reset(av_frame_alloc());
    if (!s.read_pkt || !s.audio_pkt || !s.decoded_frame)
        return step_failed("could not allocate packets and frames", AVERROR(ENOMEM));
    return step_ok();
}

// Both streams are measured from the title's origin, so that sound and
// picture keep the offset they have in the input.
void start_timelines(SourceStage& s) {
    start_input_clock(s.clock, *s.input.fmt_ctx);
    s.timeline.origin = av_rescale_q(s.origin_us, AV_TIME_BASE_Q, s.video_in()->time_base);
    if (s.has_audio())
        s.audio_timeline.origin = av_rescale_q(s.origin_us, AV_TIME_BASE_Q, s.audio_in()->time_base);
}

} // namespace

StepStatus set_up_source(SourceStage& s, FanOut& out, JobLog& log) {
    StepStatus status = choose_audio_stream(s, log);
    if (!status.failed())
        status = open_codecs(s);
    if (!status.failed())
        status = announce_audio(s, out);
    if (!status.failed() && s.has_audio())
        status = build_loudness_filter(s, audio_format_of(s.audio_dec->sample_rate,
                                                          s.audio_dec->sample_fmt,
                                                          s.audio_dec->ch_layout));
    if (!status.failed())
        status = allocate_work_buffers(s);
    if (!status.failed())
        start_timelines(s);
    return status;
}
