// The video of a rendition: each shared picture scaled to the rendition's
// frame size and encoded with the fixed H.264 settings.
#include <algorithm>
#include <cstdio>

#include "pipeline/output_colour.h"
#include "rendition/packet_writer.h"
#include "rendition/rendition_stage.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// How long the picture lasts in the output stream's time base: its own
// duration, but never less than the tick of the grid it occupies.
int64_t output_duration(const RenditionStage& r, MediaDuration duration) {
    const AVRational out_time_base = r.video_out->time_base;
    const int64_t own =
        duration.value > 0 ? av_rescale_q(duration.value, duration.time_base, out_time_base) : 0;
    return std::max(own, av_rescale_q(1, r.video_enc->time_base, out_time_base));
}

// Scales the shared picture into this rendition's picture buffer. The scaler
// is remade whenever the picture's size or pixel format changes mid-stream.
StepStatus scale_picture(RenditionStage& r, const AVFrame* picture) {
    AVFrame* scaled = r.scaled_frame.get();
    r.scaler.reset(sws_getCachedContext(r.scaler.release(), picture->width, picture->height,
                                        static_cast<AVPixelFormat>(picture->format), scaled->width,
                                        scaled->height, static_cast<AVPixelFormat>(scaled->format),
                                        SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!r.scaler)
        return step_failed("could not create the scaler", AVERROR(EINVAL));
    // The encoder may still hold a reference to the last picture's buffer.
    int ret = av_frame_make_writable(scaled);
    if (ret < 0)
        return step_failed("could not make the scaled picture writable", ret);
    ret = sws_scale(r.scaler.get(), picture->data, picture->linesize, 0, picture->height,
                    scaled->data, scaled->linesize);
    if (ret < 0)
        return step_failed("could not scale a picture", ret);
    return step_ok();
}

// Private options of libx264; they must take, or the variant would not be
// what it claims to be.
StepStatus set_encoder_option(AVCodecContext* enc_ctx, const char* name, const char* value,
                              const char* step) {
    const int ret = av_opt_set(enc_ctx->priv_data, name, value, 0);
    if (ret < 0)
        return step_failed(step, ret);
    return step_ok();
}

// The bit rate cap of a profile that asks for one: x264's VBV with a peak of
// 1.5 times the rendition's bitrate over a buffer of 2 seconds' worth, so that
// a hard-to-encode stretch cannot take several times what the master playlist
// declares, while easy and hard scenes still share the average.
void cap_bitrate(AVCodecContext* enc_ctx, int32_t bitrate) {
    enc_ctx->rc_max_rate = int64_t{bitrate} * 3 / 2;
    const int64_t buffer = int64_t{bitrate} * 2;
    enc_ctx->rc_buffer_size = static_cast<int>(std::min<int64_t>(buffer, INT32_MAX));
}

// Where the SPS's NAL unit starts in Annex B data (after a start code), or
// nullptr.
const uint8_t* find_sps(const uint8_t* data, int size) {
    for (int k = 0; k + 3 < size; ++k) {
        if (data[k] != 0 || data[k + 1] != 0 || data[k + 2] != 1)
            continue;
        const uint8_t* nal = data + k + 3;
        // nal_unit_type 7, followed by profile_idc, the constraint flags and
        // level_idc.
        if ((nal[0] & 0x1f) == 7 && k + 3 + 4 <= size)
            return nal;
    }
    return nullptr;
}

} // namespace

std::string video_codec_of(const AVCodecParameters& par) {
    const uint8_t* sps = find_sps(par.extradata, par.extradata_size);
    if (!sps)
        return {};
    char codec[16];
    std::snprintf(codec, sizeof codec, "avc1.%02x%02x%02x", sps[1], sps[2], sps[3]);
    return codec;
}

StepStatus open_video_encoder(RenditionStage& r) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!encoder)
        return step_failed("no H.264 encoder available", AVERROR_ENCODER_NOT_FOUND);
    r.video_enc.reset(avcodec_alloc_context3(encoder));
    if (!r.video_enc)
        return step_failed("could not allocate the video encoder", AVERROR(ENOMEM));
    AVCodecContext* enc_ctx = r.video_enc.get();
    enc_ctx->height = r.rendition.height;
    enc_ctx->width = r.rendition.width;
    enc_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    enc_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    enc_ctx->time_base = r.rendition.clock.time_base();
    enc_ctx->thread_count = 0;
    enc_ctx->framerate = r.rendition.clock.frame_rate;
    enc_ctx->bit_rate = r.rendition.bitrate;
    if (r.profile.capped_bitrate)
        cap_bitrate(enc_ctx, r.rendition.bitrate);
    // Players guess the colours of a variant that does not say them, and
    // guess differently for SD and HD sizes.
    if (r.profile.sdr_bt709)
        tag_encoder(*enc_ctx, SDR_BT709);
    // Pictures fitted to the displayed aspect ratio have square pixels, and
    // say so.
    if (r.profile.keep_aspect)
        enc_ctx->sample_aspect_ratio = AVRational{1, 1};
    StepStatus status =
        set_encoder_option(enc_ctx, "preset", "fast", "could not set the video encoder's preset");
    if (status.failed())
        return status;
    // A key picture every 2 s (60 pictures at 30 fps) and never elsewhere, so
    // that all variants of a job cut their segments at the same instants.
    enc_ctx->gop_size = r.rendition.clock.keyframe_interval;
    enc_ctx->keyint_min = r.rendition.clock.keyframe_interval;
    status = set_encoder_option(enc_ctx, "sc_threshold", "0",
                                "could not switch off the video encoder's scene cuts");
    if (status.failed())
        return status;
    int ret = avcodec_open2(enc_ctx, encoder, nullptr);
    if (ret < 0)
        return step_failed("could not open the video encoder", ret);
    // Described after opening, so that the parameters carry the global header.
    r.video_par.reset(avcodec_parameters_alloc());
    if (!r.video_par)
        return step_failed("could not describe the video stream", AVERROR(ENOMEM));
    ret = avcodec_parameters_from_context(r.video_par.get(), enc_ctx);
    if (ret < 0)
        return step_failed("could not describe the video stream", ret);
    return step_ok();
}

StepStatus allocate_picture_buffer(RenditionStage& r) {
    r.enc_pkt.reset(av_packet_alloc());
    r.scaled_frame.reset(av_frame_alloc());
    if (!r.enc_pkt || !r.scaled_frame)
        return step_failed("could not allocate packets and frames", AVERROR(ENOMEM));
    // One picture buffer in the encoder's format, rewritten for every picture.
    AVFrame* scaled = r.scaled_frame.get();
    scaled->format = r.video_enc->pix_fmt;
    scaled->width = r.video_enc->width;
    scaled->height = r.video_enc->height;
    const int ret = av_frame_get_buffer(scaled, 32);
    if (ret < 0)
        return step_failed("could not allocate the scaled picture", ret);
    return step_ok();
}

StepStatus encode_picture(RenditionStage& r, const AVFrame* picture, MediaDuration duration) {
    const StepStatus status = scale_picture(r, picture);
    if (status.failed())
        return status;
    r.scaled_frame->pts = picture->pts;
    // A window's first picture starts it with a key picture (an IDR: x264's
    // GOPs are closed), whatever the warm-up before it left the encoder at;
    // the first one on or after its start, should the source leave a gap there.
    const bool window_opens = r.rendition.window_start > 0 && !r.window_opened &&
                              picture->pts >= r.rendition.window_start;
    r.window_opened = r.window_opened || window_opens;
    r.scaled_frame->pict_type = window_opens ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    remember_picture_duration(r.durations, picture->pts, output_duration(r, duration));
    return encode_and_write_video(r, r.scaled_frame.get());
}

StepStatus flush_video_encoder(RenditionStage& r) {
    return encode_and_write_video(r, nullptr);
}
