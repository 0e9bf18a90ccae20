// A rendition thread from start to end: set up, the items of the source, the
// end of the stream, one report line.
#include "rendition/rendition_stage.h"

#include <exception>
#include <string>
#include <utility>

#include "log/job_log.h"
#include "rendition/key_info_check.h"
#include "rendition/packet_writer.h"
#include "rendition/variant_files.h"

namespace {

// A step that ended because the source did: the reason is the queue's.
constexpr const char* SOURCE_ENDED = "the source ended";

bool carries_pictures(const RenditionStage& r) {
    return r.rendition.audio_track < 0;
}

StepStatus receive_audio_parameters(RenditionStage& r, MediaQueue& in) {
    MediaItem item;
    if (!in.pop(item) || item.kind != MediaItem::Kind::audio_parameters)
        return step_failed(SOURCE_ENDED, 0);
    r.audio = std::move(item.audio);
    // An audio rendition's track is there, or the source failed to say so.
    if (!carries_pictures(r) && !r.audio)
        return step_failed(SOURCE_ENDED, 0);
    // AAC-LC, the source's encoder.
    r.codecs = carries_pictures(r) ? video_codec_of(*r.video_par) : "mp4a.40.2";
    if (carries_pictures(r) && r.audio && !r.codecs.empty())
        r.codecs += ",mp4a.40.2";
    return step_ok();
}

bool writes_intermediate(const RenditionStage& r) {
    return !r.rendition.intermediate_path.empty();
}

StepStatus set_up_rendition(RenditionStage& r, MediaQueue& in) {
    StepStatus status = carries_pictures(r) ? open_video_encoder(r) : step_ok();
    if (!status.failed())
        status = check_output_directory(writes_intermediate(r) ? r.rendition.intermediate_path
                                                               : r.rendition.playlist_path);
    if (!status.failed())
        status = receive_audio_parameters(r, in);
    if (!status.failed())
        status = writes_intermediate(r) ? open_intermediate_output(r) : open_hls_output(r);
    if (!status.failed() && carries_pictures(r))
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
        return carries_pictures(r) ? flush_video_encoder(r) : step_ok();
    case MediaItem::Kind::audio_parameters:
        break;
    }
    return step_ok();
}

// Everything the source delivers, in its order, until it closes the queue.
StepStatus encode_items(RenditionStage& r, MediaQueue& in, const JobControl& control) {
    MediaItem item;
    while (in.pop(item)) {
        if (control.cancelled.load())
            return step_failed(JOB_STOPPED, 0);
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

StepStatus run_rendition(RenditionStage& r, MediaQueue& in, const JobControl& control) {
    StepStatus status = set_up_rendition(r, in);
    if (!status.failed())
        status = encode_items(r, in, control);
    // The source stops feeding a rendition that failed, at once.
    if (status.failed())
        in.abort("");
    return close_output(r, status);
}

} // namespace

StepStatus close_output(RenditionStage& r, StepStatus status) {
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
        status = writes_intermediate(r) ? place_intermediate_file(r.rendition)
                                        : check_variant_files(r.rendition.playlist_path, r.figures);
    return status;
}

namespace {

void log_escaped_exception(const std::string& playlist_path, const char* what, JobLog& log,
                           RenditionOutcome& outcome) noexcept {
    try {
        outcome.step = what;
        log_message(log, LOG_ERROR, "Variant " + playlist_path + " failed: " + what);
    } catch (...) {
        // Nothing left to report through: the log itself failed.
    }
}

// The step and reason of a failure; a failure of the source comes as the
// queue's reason, "step: reason", and no step holds ": ".
void record_failure(const StepStatus& status, const MediaQueue* in, RenditionOutcome& outcome) {
    if (in == nullptr || status.step != SOURCE_ENDED) {
        outcome.step = status.step;
        outcome.reason = av_error_text(status.error);
        return;
    }
    const std::string why = in->why();
    if (why.empty()) {
        outcome.step = "the source stage ended without a reason";
        return;
    }
    const std::size_t separator = why.find(": ");
    outcome.step = why.substr(0, separator);
    if (separator != std::string::npos)
        outcome.reason = why.substr(separator + 2);
}

} // namespace

void keep_stage_results(RenditionStage& stage, RenditionOutcome& outcome) {
    outcome.files_written = std::move(stage.output_files.written);
    outcome.codecs = std::move(stage.codecs);
    outcome.figures = stage.figures;
    outcome.mpegts_zero = stage.rendition.shares_mpegts_zero ? SHARED_MPEGTS_ZERO_90K
                                                             : -stage.lowest_start_90k;
}

void report_stage_end(const Rendition& rendition, const StepStatus& status, const MediaQueue* in,
                      JobControl& control, RenditionOutcome& outcome) {
    // A stopped job reports its end once, for all of its stages.
    if (control.cancelled.load()) {
        outcome.step = JOB_STOPPED;
        return;
    }
    // A split job's pictures part writes an intermediate, not a variant.
    const bool chunk = !rendition.intermediate_path.empty();
    if (status.failed()) {
        record_failure(status, in, outcome);
        log_message(control.log, LOG_ERROR,
                    (chunk ? "Chunk " + rendition.intermediate_path : "Variant " + rendition.playlist_path) +
                        " failed: " + failure_text(outcome));
        return;
    }
    outcome.created = true;
    if (!chunk)
        log_message(control.log, LOG_SUCCESS,
                    "Encrypted variant created: " + rendition.playlist_path);
    else
        log_message(control.log, LOG_INFO, "Chunk written: " + rendition.intermediate_path);
}

void run_rendition_stage(const Rendition& rendition, const EncodeProfile& profile,
                         const std::string& key_info_path, MediaQueue& in, JobControl& control,
                         RenditionOutcome& outcome) noexcept {
    const std::string& playlist_path = rendition.playlist_path;
    try {
        StepStatus status;
        {
            RenditionStage stage(rendition, profile, key_info_path, outcome.progress);
            status = run_rendition(stage, in, control);
            keep_stage_results(stage, outcome);
        }
        report_stage_end(rendition, status, &in, control, outcome);
        return;
    } catch (const std::exception& error) {
        log_escaped_exception(playlist_path, error.what(), control.log, outcome);
    } catch (...) {
        log_escaped_exception(playlist_path, "unknown exception", control.log, outcome);
    }
    in.abort("");
}
