// Setup of the source stage: the audio tracks, the decoders, the AAC
// encoders, the loudness graphs, the FIFOs and the work buffers.
#include <memory>
#include <vector>

#include "source/source_stage.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

// One branch per audio track of the title, when the run wants sound.
StepStatus choose_audio_streams(SourceStage& s, JobLog& log) {
    if (s.input.stream_info_result < 0)
        return step_failed("could not read stream information", s.input.stream_info_result);
    // A stream no decoder exists for is no sound to normalise either.
    if (s.wants_sound && s.audio_streams.empty() && !s.profile.video_only)
        return step_failed("could not find an audio stream", s.input.audio_missing);
    if (s.wants_sound) {
        s.sound.resize(s.audio_streams.size());
        for (std::size_t k = 0; k < s.sound.size(); ++k) {
            SoundBranch& branch = s.sound[k];
            branch.stream_index = s.audio_streams[k];
            branch.branch = static_cast<int>(k);
            branch.decoder = avcodec_find_decoder(s.stream(branch.stream_index)->codecpar->codec_id);
        }
    }
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

// 44100 Hz stereo AAC at 128 kb/s, for every audio track.
StepStatus open_audio_encoder(SoundBranch& a) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!encoder)
        return step_failed("no AAC encoder available", AVERROR_ENCODER_NOT_FOUND);
    a.audio_enc.reset(avcodec_alloc_context3(encoder));
    if (!a.audio_enc)
        return step_failed("could not allocate the audio encoder", AVERROR(ENOMEM));
    AVCodecContext* enc_ctx = a.audio_enc.get();
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
    for (SoundBranch& branch : s.sound) {
        if (!status.failed())
            status = open_decoder(branch.audio_dec, branch.decoder, s.stream(branch.stream_index),
                                  "could not set up the audio decoder",
                                  "could not open the audio decoder");
        if (!status.failed())
            status = open_audio_encoder(branch);
    }
    return status;
}

// The audio each rendition muxes, described by each track's encoder after it
// was opened, so that the parameters carry its global header; none for a
// video without sound.
StepStatus announce_audio(SourceStage& s, FanOut& out) {
    std::vector<std::shared_ptr<const AudioStreamParameters>> tracks;
    for (const SoundBranch& branch : s.sound) {
        auto audio = std::make_shared<AudioStreamParameters>();
        audio->codecpar.reset(avcodec_parameters_alloc());
        if (!audio->codecpar)
            return step_failed("could not describe the audio stream", AVERROR(ENOMEM));
        const int ret =
            avcodec_parameters_from_context(audio->codecpar.get(), branch.audio_enc.get());
        if (ret < 0)
            return step_failed("could not describe the audio stream", ret);
        audio->time_base = branch.audio_enc->time_base;
        tracks.push_back(std::move(audio));
    }
    deliver_audio_parameters(out, tracks);
    return step_ok();
}

StepStatus allocate_work_buffers(SourceStage& s) {
    for (SoundBranch& branch : s.sound) {
        // Room for one sample: the FIFO is grown before every write.
        branch.audio_fifo.reset(av_audio_fifo_alloc(branch.audio_enc->sample_fmt,
                                                    branch.audio_enc->ch_layout.nb_channels, 1));
        branch.audio_pkt.reset(av_packet_alloc());
        if (!branch.audio_fifo || !branch.audio_pkt)
            return step_failed("could not allocate the audio FIFO", AVERROR(ENOMEM));
    }
    s.read_pkt.reset(av_packet_alloc());
    s.decoded_frame.reset(av_frame_alloc());
    if (!s.read_pkt || !s.decoded_frame)
        return step_failed("could not allocate packets and frames", AVERROR(ENOMEM));
    return step_ok();
}

// Every stream is measured from the title's origin, so that sound and
// picture keep the offset they have in the input.
void start_timelines(SourceStage& s) {
    start_input_clock(s.clock, *s.input.fmt_ctx);
    s.timeline.origin = av_rescale_q(s.origin_us, AV_TIME_BASE_Q, s.video_in()->time_base);
    for (SoundBranch& branch : s.sound)
        branch.timeline.origin =
            av_rescale_q(s.origin_us, AV_TIME_BASE_Q, s.stream(branch.stream_index)->time_base);
}

} // namespace

StepStatus set_up_source(SourceStage& s, FanOut& out, JobLog& log) {
    StepStatus status = choose_audio_streams(s, log);
    if (!status.failed())
        status = open_codecs(s);
    if (!status.failed())
        status = announce_audio(s, out);
    for (SoundBranch& branch : s.sound)
        if (!status.failed())
            status = build_loudness_filter(
                s, branch,
                audio_format_of(branch.audio_dec->sample_rate, branch.audio_dec->sample_fmt,
                                branch.audio_dec->ch_layout));
    if (!status.failed())
        status = allocate_work_buffers(s);
    if (!status.failed())
        start_timelines(s);
    return status;
}
