// A split job's parts, each from start to end: the sound, one window of
// pictures, the stitch. Each takes the title from the plan, so that all of
// them place what they make on the same clock as the whole title would.
#include <algorithm>
#include <memory>

#include "job/encode_job.h"
#include "job/job_steps.h"
#include "job/split_parts.h"

namespace {

void end_stopped_part(JobReport& report, JobLog& log) {
    report.stopped = true;
    log_message(log, LOG_WARN, "The part was stopped: nothing of it was kept.");
}

} // namespace

void run_sound_part(const EncodeRequest& request, JobControl& control, JobReport& report) {
    std::unique_ptr<SourceStage> source = open_job(request, control, report, JobMakes::sound);
    if (!source)
        return;
    run_sound_stages(*source, report, request, control);
    source.reset();
    JobLog& log = control.log;
    if (control.cancelled.load())
        return end_stopped_part(report, log);
    if (!report.error.empty())
        log_message(log, LOG_ERROR, "The sound could not be made: " + report.error);
    else if (report.sound_tracks_written > 0)
        log_message(log, LOG_INFO,
                    "Sound written: " + std::to_string(report.sound_tracks_written) + " track" +
                        (report.sound_tracks_written > 1 ? "s" : "") + " in " +
                        request.part.work_dir);
    else
        log_message(log, LOG_INFO, "The title has no sound.");
}

void run_pictures_part(const EncodeRequest& request, JobControl& control, JobReport& report) {
    std::unique_ptr<SourceStage> source = open_job(request, control, report, JobMakes::chunks);
    if (!source)
        return;
    const JobPart& part = request.part;
    {
        const std::lock_guard<std::mutex> lock(report.mutex);
        for (Rendition& rendition : report.plan) {
            rendition.intermediate_path = pictures_file(part.work_dir, rendition.name, part.first_tick);
            rendition.window_start = part.first_tick;
        }
    }
    source->wants_sound = false;
    source->first_tick = part.first_tick;
    source->end_tick = part.end_tick;
    source->seek_position = part.seek_position;
    // A fresh encoder starts its rate control from a guess and takes about a
    // second to find the quantiser the whole title's encoder has there by
    // then: a chunk's first key picture would come out blurred, worst at the
    // smallest renditions. Half a second before the window warms it up enough
    // for a fraction of a second's encode per chunk.
    const int keyframe_interval = report.plan.empty() ? 0 : report.plan[0].clock.keyframe_interval;
    source->warm_up_ticks = std::min<int64_t>(part.first_tick, keyframe_interval / 4);
    if (report.plan.size() > skipped_renditions(report))
        run_stages(*source, report, request, control);
    source.reset();
    if (control.cancelled.load())
        end_stopped_part(report, control.log);
}

void run_stitch(const EncodeRequest& request, JobControl& control, JobReport& report) {
    // The plan, for every rendition's frame and clock; the input is not read.
    if (!open_job(request, control, report, JobMakes::package))
        return;
    stitch_renditions(request.part, request.profile, request.key_info, control, report);
    if (control.cancelled.load())
        return end_stopped_job(report, control.log);
    finish_job(request, report, control);
}
