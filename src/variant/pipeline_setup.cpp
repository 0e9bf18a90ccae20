// Setup of a variant worker: input, decoders, encoders and work buffers. The
// output and the filter graph have files of their own.
#include "variant/pipeline_setup.h"

#include "variant/input_context.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

StepStatus open_input(VariantPipeline& p, const std::string& input_path) {
    int ret = open_input_context(input_path, p.input_gate, p.input);
    if (ret < 0)
        return step_failed("could not open input", ret);
    ret = find_stream_info(p.input.get());
    if (ret < 0)
        return step_failed("could not read stream information", ret);

    // Video first, then audio; a stream whose decoder is missing does not count.
    p.video_index =
        av_find_best_stream(p.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &p.video_decoder, 0);
    p.audio_index =
        av_find_best_stream(p.input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &p.audio_decoder, 0);
    if (p.video_index < 0)
        return step_failed("could not find a video stream", p.video_index);
    if (p.audio_index < 0)
        return step_failed("could not find an audio stream", p.audio_index);
    const AVCodecParameters* codecpar = p.video_in()->codecpar;
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

StepStatus open_video_encoder(VariantPipeline& p, const AVCodec* encoder, int32_t width,
                              int32_t height, int32_t video_bitrate) {
    p.video_enc.reset(avcodec_alloc_context3(encoder));
    if (!p.video_enc)
        return step_failed("could not allocate the video encoder", AVERROR(ENOMEM));
    AVCodecContext* enc_ctx = p.video_enc.get();
    enc_ctx->height = height;
    enc_ctx->width = width;
    enc_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    enc_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    enc_ctx->time_base = AVRational{1, 30};
    enc_ctx->thread_count = 0;
    enc_ctx->framerate = AVRational{30, 1};
    enc_ctx->bit_rate = video_bitrate;
    // Private options of libx264; an H.264 encoder without them runs without.
    av_opt_set(enc_ctx->priv_data, "preset", "fast", 0);
    // A key picture every 60 pictures (2 s) and never elsewhere, so that all
    // variants of a job cut their segments at the same instants.
    enc_ctx->gop_size = 60;
    enc_ctx->keyint_min = 60;
    av_opt_set(enc_ctx->priv_data, "sc_threshold", "0", 0);
    const int ret = avcodec_open2(enc_ctx, encoder, nullptr);
    if (ret < 0)
        return step_failed("could not open the video encoder", ret);
    return step_ok();
}

StepStatus open_audio_encoder(VariantPipeline& p, const AVCodec* encoder) {
    p.audio_enc.reset(avcodec_alloc_context3(encoder));
    if (!p.audio_enc)
        return step_failed("could not allocate the audio encoder", AVERROR(ENOMEM));
    AVCodecContext* enc_ctx = p.audio_enc.get();
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

StepStatus open_codecs(VariantPipeline& p, int32_t width, int32_t height, int32_t video_bitrate) {
    StepStatus status =
        open_decoder(p.video_dec, p.video_decoder, p.video_in(),
                     "could not set up the video decoder", "could not open the video decoder");
    if (status.failed())
        return status;
    status = open_decoder(p.audio_dec, p.audio_decoder, p.audio_in(),
                          "could not set up the audio decoder", "could not open the audio decoder");
    if (status.failed())
        return status;

    const AVCodec* h264_encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!h264_encoder)
        return step_failed("no H.264 encoder available", AVERROR_ENCODER_NOT_FOUND);
    const AVCodec* aac_encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac_encoder)
        return step_failed("no AAC encoder available", AVERROR_ENCODER_NOT_FOUND);
    status = open_video_encoder(p, h264_encoder, width, height, video_bitrate);
    if (status.failed())
        return status;
    return open_audio_encoder(p, aac_encoder);
}

StepStatus allocate_work_buffers(VariantPipeline& p) {
    // Room for one sample: the FIFO is grown before every write.
    p.audio_fifo.reset(
        av_audio_fifo_alloc(p.audio_enc->sample_fmt, p.audio_enc->ch_layout.nb_channels, 1));
    if (!p.audio_fifo)
        return step_failed("could not allocate the audio FIFO", AVERROR(ENOMEM));
    p.read_pkt.reset(av_packet_alloc());
    p.enc_pkt.reset(av_packet_alloc());
    p.decoded_frame.reset(av_frame_alloc());
    p.scaled_frame.reset(av_frame_alloc());
    if (!p.read_pkt || !p.enc_pkt || !p.decoded_frame || !p.scaled_frame)
        return step_failed("could not allocate packets and frames", AVERROR(ENOMEM));

    // One picture buffer in the encoder's format, rewritten for every picture.
    AVFrame* scaled = p.scaled_frame.get();
    scaled->format = p.video_enc->pix_fmt;
    scaled->width = p.video_enc->width;
    scaled->height = p.video_enc->height;
    const int ret = av_frame_get_buffer(scaled, 32);
    if (ret < 0)
        return step_failed("could not allocate the scaled picture", ret);
    return step_ok();
}

// Video timestamps are measured from the start of the input, so that they
// share their zero with the audio, whose timeline restarts at zero.
int64_t video_origin(const VariantPipeline& p) {
    const int64_t start = p.input->start_time;
    if (start == AV_NOPTS_VALUE || start <= 0)
        return 0;
    return av_rescale_q(start, AV_TIME_BASE_Q, p.video_in()->time_base);
}

} // namespace

StepStatus set_up_variant(VariantPipeline& pipeline, const std::string& input_path,
                          const std::string& playlist_name, int32_t width, int32_t height,
                          int32_t video_bitrate, const std::string& key_info_path) {
    StepStatus status = open_input(pipeline, input_path);
    if (!status.failed())
        status = open_codecs(pipeline, width, height, video_bitrate);
    if (!status.failed())
        status = open_hls_output(pipeline, playlist_name, key_info_path);
    if (!status.failed())
        status = build_audio_filter(pipeline);
    if (!status.failed())
        status = allocate_work_buffers(pipeline);
    if (!status.failed())
        pipeline.video_timeline.origin = video_origin(pipeline);
    return status;
}
