// The encrypted HLS output of a variant: the muxer, its two streams, its
// options and its header.
#include "variant/pipeline_setup.h"

#include "variant/key_info_check.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

void record_first_error(AVFormatContext* fmt_ctx, int error) {
    auto* files = static_cast<OutputFiles*>(fmt_ctx->opaque);
    if (files && files->first_error == 0)
        files->first_error = error;
}

// The output's io_open and io_close2, which the HLS muxer hands on to its
// MPEG-TS sub-muxer together with `opaque`.
int open_recording_errors(AVFormatContext* fmt_ctx, AVIOContext** pb, const char* url, int flags,
                          AVDictionary** options) {
    const auto* files = static_cast<const OutputFiles*>(fmt_ctx->opaque);
    const int ret = files->library_io_open(fmt_ctx, pb, url, flags, options);
    if (ret < 0 && (flags & AVIO_FLAG_WRITE))
        record_first_error(fmt_ctx, ret);
    return ret;
}

int close_recording_errors(AVFormatContext* fmt_ctx, AVIOContext* pb) {
    const bool writing = pb->write_flag != 0;
    // Flushes what is buffered and returns the first error of any write.
    const int ret = avio_close(pb);
    if (ret < 0 && writing)
        record_first_error(fmt_ctx, ret);
    return ret;
}

StepStatus add_output_stream(VariantPipeline& p, const AVCodecContext* enc_ctx, AVStream*& stream,
                             const char* add_step, const char* copy_step) {
    stream = avformat_new_stream(p.output.get(), enc_ctx->codec);
    if (!stream)
        return step_failed(add_step, AVERROR(ENOMEM));
    // After the encoder was opened, so the parameters carry its global header.
    const int ret = avcodec_parameters_from_context(stream->codecpar, enc_ctx);
    if (ret < 0)
        return step_failed(copy_step, ret);
    stream->time_base = enc_ctx->time_base;
    return step_ok();
}

} // namespace

std::string playlist_stem_of(const std::string& playlist_name) {
    const std::size_t dot = playlist_name.rfind('.');
    return dot == std::string::npos ? playlist_name : playlist_name.substr(0, dot);
}

StepStatus open_hls_output(VariantPipeline& p, const std::string& playlist_name,
                           const std::string& key_info_path) {
    if (playlist_name.find('\0') != std::string::npos ||
        key_info_path.find('\0') != std::string::npos)
        return step_failed("could not create the HLS output", AVERROR(EINVAL));
    AVFormatContext* fmt_ctx = nullptr;
    int ret = avformat_alloc_output_context2(&fmt_ctx, nullptr, "hls", playlist_name.c_str());
    p.output.reset(fmt_ctx);
    if (ret < 0)
        return step_failed("could not create the HLS output", ret);
    p.output_files.library_io_open = fmt_ctx->io_open;
    fmt_ctx->opaque = &p.output_files;
    fmt_ctx->io_open = open_recording_errors;
    fmt_ctx->io_close2 = close_recording_errors;

    StepStatus status = add_output_stream(p, p.video_enc.get(), p.video_out,
                                          "could not add the video output stream",
                                          "could not copy the video encoder parameters");
    if (status.failed())
        return status;
    status = add_output_stream(p, p.audio_enc.get(), p.audio_out,
                               "could not add the audio output stream",
                               "could not copy the audio encoder parameters");
    if (status.failed())
        return status;

    p.playlist_stem = playlist_stem_of(playlist_name);
    p.segment_pattern = p.playlist_stem + "_%03d.ts";
    av_opt_set(fmt_ctx->priv_data, "hls_time", "6", 0);
    av_opt_set(fmt_ctx->priv_data, "hls_segment_filename", p.segment_pattern.c_str(), 0);
    av_opt_set(fmt_ctx->priv_data, "hls_list_size", "0", 0);
    av_opt_set(fmt_ctx->priv_data, "hls_key_info_file", key_info_path.c_str(), 0);

    // The HLS muxer opens its playlist and segment files itself.
    if (!(fmt_ctx->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&fmt_ctx->pb, playlist_name.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0)
            return step_failed("could not open the output", ret);
    }
    status = check_key_info(key_info_path);
    if (status.failed())
        return status;
    ret = avformat_write_header(fmt_ctx, nullptr);
    if (ret < 0)
        return step_failed("could not write header", ret);
    // From here the muxer may have changed the streams' time bases (MPEG-TS
    // uses 1/90000); packets are always rescaled to the value it left.
    p.header_written = true;
    return step_ok();
}
