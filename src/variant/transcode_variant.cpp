// A variant worker from start to end: set up, read loop, end of stream, one
// report line.
#include "variant/transcode_variant.h"

#include "log/console_log.h"
#include "variant/audio_path.h"
#include "variant/end_of_stream.h"
#include "variant/pipeline_setup.h"
#include "variant/variant_files.h"
#include "variant/video_path.h"

namespace {

constexpr const char* WRITE_STEP = "could not write the variant files";

// Demuxes the whole input, handing each packet to its branch. Packets of any
// other stream (subtitles, data, further tracks) are dropped unread.
StepStatus read_loop(VariantPipeline& p) {
    AVPacket* pkt = p.read_pkt.get();
    for (;;) {
        const int ret = av_read_frame(p.input.get(), pkt);
        if (ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not read input", ret);
        StepStatus status;
        if (pkt->stream_index == p.video_index)
            status = process_video_packet(p);
        else if (pkt->stream_index == p.audio_index)
            status = process_audio_packet(p);
        av_packet_unref(pkt);
        if (status.failed())
            return status;
        // A missing directory or a full disk need not stop the muxer; it
        // stops the worker.
        if (p.output_files.first_error < 0)
            return step_failed(WRITE_STEP, p.output_files.first_error);
    }
}

StepStatus run_variant(VariantPipeline& p, const std::string& input_path,
                       const std::string& playlist_name, int32_t width, int32_t height,
                       int32_t video_bitrate, const std::string& key_info_path) {
    StepStatus status =
        set_up_variant(p, input_path, playlist_name, width, height, video_bitrate, key_info_path);
    if (!status.failed())
        status = read_loop(p);
    if (!status.failed())
        status = drain_and_flush(p);
    // Even after a failure the muxer gets its trailer while it can take one,
    // so that the playlist on disk is closed; the first failure is the one
    // reported.
    if (p.header_written) {
        const StepStatus trailer = write_trailer(p);
        if (!status.failed())
            status = trailer;
    }
    if (!status.failed() && p.output_files.first_error < 0)
        status = step_failed(WRITE_STEP, p.output_files.first_error);
    if (!status.failed())
        status = check_variant_files(playlist_name);
    return status;
}

} // namespace

bool transcode_variant(const std::string& input_path, const std::string& playlist_name,
                       int32_t width, int32_t height, int32_t video_bitrate,
                       const std::string& key_info_path) {
    VariantPipeline pipeline;
    const StepStatus status = run_variant(pipeline, input_path, playlist_name, width, height,
                                          video_bitrate, key_info_path);
    if (status.failed()) {
        log_message(LOG_ERROR, "Variant " + playlist_name + " failed: " + status.step + ": " +
                                   av_error_text(status.error));
        return false;
    }
    log_message(LOG_SUCCESS, "Encrypted variant created: " + playlist_name);
    return true;
}
