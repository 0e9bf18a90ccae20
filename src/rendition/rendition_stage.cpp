// A rendition thread from start to end: set up, the items of the source, the
// end of the stream, one report line.
#include "rendition/rendition_stage.h"

#include <exception>
#include <string>
#include <utility>

#include "log/console_log.h"
#include "rendition/key_info_check.h"
#include "rendition/packet_writer.h"
#include "rendition/variant_files.h"

namespace {

// A step that ended because the source did: the reason is the queue's.
constexpr const char* SOURCE_ENDED = "the source ended";

StepStatus receive_audio_parameters(RenditionStage& r, MediaQueue& in) {
    MediaItem item;
    if (!in.pop(item) || item.kind != MediaItem::Kind::audio_parameters)
        return step_failed(SOURCE_ENDED, 0);
    r.audio = std::move(item.audio);
    return step_ok();
}

StepStatus set_up_rendition(RenditionStage& r, MediaQueue& in) {
    StepStatus status = open_video_encoder(r);
    if (!status.failed())
        status = check_output_directory(r.rendition.playlist_path);
    if (!status.failed())
        status = receive_audio_parameters(r, in);
    if (!status.failed())
        status = open_hls_output(r);
    if (!status.failed())
        status = allocate_picture_buffer(r);
    return status;
}

StepStatus use_item(RenditionStage& r, MediaItem& item) {
    switch (item.kind) {
    case MediaItem::Kind::picture:
        return encode_picture(r, item.picture.get(), item.picture_duration);
    case MediaItem::Kind::audio_packet:
        return write_audio_packet(r, item.audio_packet.get(), r.audio->time_base);
    case MediaItem::Kind::video_end:
        return flush_video_encoder(r);
    case MediaItem::Kind::audio_parameters:
        break;
    }
    return step_ok();
}

// Everything the source delivers, in its order, until it closes the queue.
StepStatus encode_items(RenditionStage& r, MediaQueue& in) {
    MediaItem item;
    while (in.pop(item)) {
        const StepStatus status = use_item(r, item);
        // The shared picture goes back to the decoder's pool at once.
        item = MediaItem();
        if (status.failed())
            return status;
        // A missing directory or a full disk need not stop the muxer; it
        // stops the rendition.
        if (r.output_files.first_error < 0)
            return step_failed(WRITE_STEP, r.output_files.first_error);
    }
    if (in.aborted())
        return step_failed(SOURCE_ENDED, 0);
    return step_ok();
}

StepStatus run_rendition(RenditionStage& r, MediaQueue& in) {
    StepStatus status = set_up_rendition(r, in);
    if (!status.failed())
        status = encode_items(r, in);
    // The source stops feeding a rendition that failed, at once.
    if (status.failed())
        in.abort("");
    // Even after a failure the muxer gets its trailer while it can take one,
    // so that the playlist on disk is closed; the first failure is the one
    // reported.
    if (r.header_written) {
        const StepStatus trailer = write_trailer(r);
        if (!status.failed())
            status = trailer;
    }
    if (!status.failed() && r.output_files.first_error < 0)
        status = step_failed(WRITE_STEP, r.output_files.first_error);
    if (!status.failed())
        status = check_variant_files(r.rendition.playlist_path);
    return status;
}

void log_escaped_exception(const std::string& playlist_path, const char* what,
                           RenditionOutcome& outcome) noexcept {
    try {
        outcome.failure = what;
        log_message(LOG_ERROR, "Variant " + playlist_path + " failed: " + what);
    } catch (...) {
        // Nothing left to report through: the log itself failed.
    }
}

std::string failure_reason(const StepStatus& status, const MediaQueue& in) {
    if (status.step != SOURCE_ENDED)
        return failure_text(status);
    std::string why = in.why();
    return why.empty() ? "the source stage ended without a reason" : why;
}

} // namespace

void run_rendition_stage(const Rendition& rendition, const std::string& key_info_path,
                         MediaQueue& in, RenditionOutcome& outcome) noexcept {
    const std::string& playlist_path = rendition.playlist_path;
    try {
        StepStatus status;
        {
            RenditionStage stage(rendition, key_info_path);
            status = run_rendition(stage, in);
        }
        if (status.failed()) {
            outcome.failure = failure_reason(status, in);
            log_message(LOG_ERROR, "Variant " + playlist_path + " failed: " + outcome.failure);
            return;
        }
        outcome.created = true;
        log_message(LOG_SUCCESS, "Encrypted variant created: " + playlist_path);
        return;
    } catch (const std::exception& error) {
        log_escaped_exception(playlist_path, error.what(), outcome);
    } catch (...) {
        log_escaped_exception(playlist_path, "unknown exception", outcome);
    }
    in.abort("");
}
