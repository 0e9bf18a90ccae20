// The encrypted HLS output of a rendition: its directory, the muxer, its two
// streams, its options, its header and its trailer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <string>

#include "media/paths.h"
#include "rendition/key_info_check.h"
#include "rendition/rendition_stage.h"

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
    auto* files = static_cast<OutputFiles*>(fmt_ctx->opaque);
    const int ret = files->library_io_open(fmt_ctx, pb, url, flags, options);
    if (!(flags & AVIO_FLAG_WRITE))
        return ret;
    if (ret < 0) {
        record_first_error(fmt_ctx, ret);
        return ret;
    }
    // Called from the library's C code: nothing may be thrown through it.
    try {
        files->written.emplace_back(url);
    } catch (...) {
        avio_closep(pb);
        record_first_error(fmt_ctx, AVERROR(ENOMEM));
        return AVERROR(ENOMEM);
    }
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

// Video from this rendition's encoder, audio as the source encoded it; both
// after their encoders were opened, so the parameters carry global headers.
// A video rendition may have no sound, an audio rendition has no pictures.
StepStatus add_output_streams(RenditionStage& r) {
    int ret = 0;
    // An audio rendition has no pictures.
    if (r.video_par) {
        r.video_out = avformat_new_stream(r.output.get(), nullptr);
        if (!r.video_out)
            return step_failed("could not add the video output stream", AVERROR(ENOMEM));
        ret = avcodec_parameters_copy(r.video_out->codecpar, r.video_par.get());
        if (ret < 0)
            return step_failed("could not copy the video encoder parameters", ret);
        r.video_out->time_base = r.rendition.clock.time_base();
    }

    if (!r.audio)
        return step_ok();
    r.audio_out = avformat_new_stream(r.output.get(), nullptr);
    if (!r.audio_out)
        return step_failed("could not add the audio output stream", AVERROR(ENOMEM));
    ret = avcodec_parameters_copy(r.audio_out->codecpar, r.audio->codecpar.get());
    if (ret < 0)
        return step_failed("could not copy the audio encoder parameters", ret);
    r.audio_out->time_base = r.audio->time_base;
    return step_ok();
}

struct MuxerOption {
    const char* name;
    const char* step;
};

// Every option must take: a key info file the muxer did not take would leave
// the segments in the clear.
StepStatus set_muxer_options(RenditionStage& r) {
    const MuxerOption options[] = {
        {"hls_time", "could not set the segment duration"},
        {"hls_segment_filename", "could not set the segment file names"},
        {"hls_list_size", "could not set the playlist length"},
        {"hls_key_info_file", "could not set the key info file"},
        {"hls_flags", "could not mark the segments independent"},
    };
    // Every segment starts with a keyframe; a profile that tells players so
    // says it in the variant playlists too.
    const char* flags = r.profile.measured_master ? "independent_segments" : nullptr;
    const char* values[] = {r.rendition.clock.segment_seconds.c_str(), r.segment_pattern.c_str(),
                            "0", r.key_info_path.c_str(), flags};
    for (std::size_t k = 0; k < std::size(options); ++k) {
        if (!values[k])
            continue;
        const int ret = av_opt_set(r.output->priv_data, options[k].name, values[k], 0);
        if (ret < 0)
            return step_failed(options[k].step, ret);
    }
    // Without pictures the MPEG-TS muxer times its clock references by the
    // audio frame, which it cannot learn from the stream and warns about at
    // every segment; a period of its own (under the 100 ms the standard
    // allows) spares the guess.
    if (!r.video_par) {
        const int ret = av_opt_set(r.output->priv_data, "hls_segment_options", "pcr_period=80", 0);
        if (ret < 0)
            return step_failed("could not set the segments' clock reference period", ret);
    }
    return step_ok();
}

// The playlist path up to its last ".", or the whole path when it has none.
std::string playlist_stem_of(const std::string& playlist_path) {
    const std::size_t dot = playlist_path.rfind('.');
    return dot == std::string::npos ? playlist_path : playlist_path.substr(0, dot);
}

} // namespace

StepStatus check_output_directory(const std::string& playlist_path) {
    const std::string directory = directory_of(playlist_path);
    const char* path = directory.empty() ? "." : directory.c_str();
    struct stat info {};
    if (stat(path, &info) != 0)
        return step_failed(WRITE_STEP, AVERROR(errno));
    if (!S_ISDIR(info.st_mode))
        return step_failed(WRITE_STEP, AVERROR(ENOTDIR));
    if (faccessat(AT_FDCWD, path, W_OK | X_OK, AT_EACCESS) != 0)
        return step_failed(WRITE_STEP, AVERROR(errno));
    return step_ok();
}

StepStatus open_hls_output(RenditionStage& r) {
    const std::string& playlist_path = r.rendition.playlist_path;
    if (has_embedded_nul(playlist_path) || has_embedded_nul(r.key_info_path))
        return step_failed("could not create the HLS output", AVERROR(EINVAL));
    AVFormatContext* fmt_ctx = nullptr;
    int ret = avformat_alloc_output_context2(&fmt_ctx, nullptr, "hls", playlist_path.c_str());
    r.output.reset(fmt_ctx);
    if (ret < 0)
        return step_failed("could not create the HLS output", ret);
    // The HLS muxer opens its playlist and segment files itself, through these.
    r.output_files.library_io_open = fmt_ctx->io_open;
    fmt_ctx->opaque = &r.output_files;
    fmt_ctx->io_open = open_recording_errors;
    fmt_ctx->io_close2 = close_recording_errors;
    if (r.rendition.shares_mpegts_zero) {
        fmt_ctx->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
        fmt_ctx->output_ts_offset = av_rescale(SHARED_MPEGTS_ZERO_90K, AV_TIME_BASE, 90000);
    }

    StepStatus status = add_output_streams(r);
    if (status.failed())
        return status;
    r.segment_pattern = playlist_stem_of(playlist_path) + "_%03d.ts";
    status = set_muxer_options(r);
    if (status.failed())
        return status;
    status = check_key_info(r.key_info_path);
    if (status.failed())
        return status;
    ret = avformat_write_header(fmt_ctx, nullptr);
    if (ret < 0)
        return step_failed("could not write header", ret);
    // From here the muxer may have changed the streams' time bases (MPEG-TS
    // uses 1/90000); packets are always rescaled to the value it left.
    r.header_written = true;
    return step_ok();
}

StepStatus write_trailer(RenditionStage& r) {
    r.header_written = false;
    const int ret = av_write_trailer(r.output.get());
    if (ret < 0)
        return step_failed("could not write the trailer", ret);
    return step_ok();
}
