// Opening and probing a job, and the whole title's job from start to end.
#include "job/encode_job.h"

#include <memory>
#include <utility>

#include "job/job_plan.h"
#include "job/job_steps.h"
#include "job/master_playlist.h"
#include "job/subtitle_renditions.h"
#include "job/title_probe.h"

namespace {

// The created video variants, and the media renditions they name: the
// created audio renditions, the created subtitle renditions.
std::vector<MasterEntry> created_variants(const JobReport& report, MasterMedia& media) {
    std::vector<MasterEntry> created;
    for (std::size_t k = 0; k < report.plan.size(); ++k) {
        const Rendition& rendition = report.plan[k];
        if (!report.outcomes[k].created)
            continue;
        if (rendition.audio_track < 0)
            created.push_back({&rendition, &report.outcomes[k]});
        else
            media.audio.push_back({{&rendition, &report.outcomes[k]},
                                   &report.title.audio[static_cast<std::size_t>(rendition.audio_track)]});
    }
    for (std::size_t k = 0; k < report.subtitle_outcomes.size(); ++k)
        if (report.subtitle_outcomes[k].created)
            media.subtitles.push_back({&report.title.subtitles[k],
                                       "subtitles_" + std::to_string(k + 1) + ".m3u8"});
    return created;
}

void fail_job(JobReport& report, JobLog& log, std::string error) {
    report.error = std::move(error);
    log_message(log, LOG_ERROR, report.error);
}

} // namespace

std::unique_ptr<SourceStage> open_job(const EncodeRequest& request, JobControl& control,
                                      JobReport& report, JobMakes makes) {
    JobLog& log = control.log;
    log_message(log, LOG_INFO, "Analyzing video file: " + request.input + "...");
    // The source keeps the input open from the probe to the end of the job;
    // the context's callbacks hold its address, so it stays where it is.
    auto source = std::make_unique<SourceStage>();
    const ProbeResult probe = open_source_input(request.input, source->input, control);
    // A stop interrupts the probe's reads, which then look like a bad input.
    if (control.cancelled.load()) {
        end_stopped_job(report, log);
        return nullptr;
    }
    if (probe == ProbeResult::cannot_open) {
        fail_job(report, log, "Could not open " + request.input + ". Make sure the file exists.");
        return nullptr;
    }
    if (probe == ProbeResult::no_video_stream) {
        fail_job(report, log, "No video stream found in the file.");
        return nullptr;
    }
    AVStream& video_stream = *source->video_in();
    const AVCodecParameters& video = *video_stream.codecpar;
    log_message(log, LOG_INFO,
                "Detected video size: " + std::to_string(video.width) + "x" +
                    std::to_string(video.height));

    report.title = request.title ? *request.title
                                 : describe_title(source->input, request.profile, request.subtitles);
    const Title& title = report.title;
    source->profile = request.profile;
    source->origin_us = title.origin_us;
    source->picture_time_base = title.clock.time_base();
    for (const AudioTrack& track : title.audio)
        source->audio_streams.push_back(track.stream_index);
    if (makes == JobMakes::sound) {
        source->wants_pictures = false;
        return source;
    }
    const SourceGeometry geometry = describe_source(request.profile, *source, video_stream);
    if (request.profile.keep_aspect || request.profile.source_frame_rate)
        log_message(log, LOG_INFO,
                    "Output pictures: " + size_text(geometry.displayed) + " as displayed, " +
                        frame_rate_text(title.clock.frame_rate) + " frames per second.");
    if (request.profile.sdr_bt709)
        describe_colours(*source, title.colour, request.title.has_value(), report, log);
    std::vector<Rendition> plan = plan_renditions(request, geometry, title.clock, log);
    if (makes == JobMakes::package)
        plan_audio_renditions(request, title, plan);
    report_left_out_streams(title, log);
    publish_plan(report, std::move(plan), input_duration_us(source->input));
    if (source->colour.wanted)
        size_colour_work(source->colour, report.plan, geometry);
    return source;
}

std::size_t skipped_renditions(const JobReport& report) {
    std::size_t skipped = 0;
    for (const Rendition& rendition : report.plan)
        skipped += rendition.skip_reason.empty() ? 0 : 1;
    return skipped;
}

void finish_job(const EncodeRequest& request, JobReport& report, JobControl& control) {
    JobLog& log = control.log;
    const std::string& output = request.output;
    write_subtitle_renditions(request, report, control);
    if (control.cancelled.load())
        return end_stopped_job(report, log);
    MasterMedia media;
    const std::vector<MasterEntry> created = created_variants(report, media);
    const std::size_t planned =
        report.plan.size() - skipped_renditions(report) + report.subtitle_outcomes.size();
    const std::size_t failed = planned - created.size() - media.audio.size() - media.subtitles.size();
    // With variants planned but none made there is nothing to list; an older
    // playlist at `output` is left alone rather than replaced by an empty one.
    const bool playlist_due = planned == 0 || !created.empty();
    if (playlist_due) {
        report.master_written = write_master_playlist(
            output, created,
            request.profile.measured_master ? MasterStyle::measured : MasterStyle::specified, media);
        if (report.master_written) {
            log_message(log, LOG_SUCCESS, "Encrypted Master playlist generated: " + output);
        } else {
            report.error = "Could not write master playlist: " + output;
            log_message(log, LOG_ERROR, report.error);
        }
    }
    if (failed > 0)
        log_message(log, LOG_ERROR,
                    "Transcoding finished with " + std::to_string(failed) + " of " +
                        std::to_string(planned) + " variants failed.");
    else if (report.master_written)
        log_message(log, LOG_SUCCESS, "All secure transcoding finished flawlessly.");
}

void end_stopped_job(JobReport& report, JobLog& log) {
    report.stopped = true;
    log_message(log, LOG_WARN, "Transcoding stopped: no master playlist written.");
}


void run_encode_job(const EncodeRequest& request, JobControl& control, JobReport& report) {
    std::unique_ptr<SourceStage> source = open_job(request, control, report, JobMakes::package);
    if (!source)
        return;
    if (report.plan.size() > skipped_renditions(report))
        run_stages(*source, report, request, control);
    // Released before the last lines, which the libraries' own closing lines
    // would otherwise follow.
    source.reset();
    if (control.cancelled.load())
        return end_stopped_job(report, control.log);
    finish_job(request, report, control);
}
