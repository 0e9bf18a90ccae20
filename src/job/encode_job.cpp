#include "job/encode_job.h"

#include <cstddef>
#include <memory>
#include <utility>

#include "job/master_playlist.h"
#include "job/rendition_ladder.h"
#include "job/stage_threads.h"
#include "media/paths.h"
#include "rendition/rendition_stage.h"
#include "source/source_stage.h"

namespace {

bool already_planned(const std::vector<Rendition>& plan, const std::string& name) {
    for (const Rendition& planned : plan)
        if (planned.name == name)
            return true;
    return false;
}

// One rendition per known name, in the caller's order. Bitrates pair with
// names by position; a position without one takes the name's default.
std::vector<Rendition> plan_renditions(const EncodeRequest& request,
                                       const AVCodecParameters& source, JobLog& log) {
    const std::string directory = directory_of(request.output);
    std::vector<Rendition> plan;
    plan.reserve(request.renditions.size());
    for (std::size_t i = 0; i < request.renditions.size(); ++i) {
        const std::string& name = request.renditions[i];
        const RenditionRung* rung = find_rendition(name);
        if (!rung) {
            log_message(log, LOG_WARN, "Unknown resolution requested: " + name + ". Skipping.");
            continue;
        }
        // Two renditions of one name would write the same files at once.
        if (already_planned(plan, name)) {
            log_message(log, LOG_WARN, "Duplicate resolution requested: " + name + ". Skipping.");
            continue;
        }
        const FrameSize size = rendition_frame_size(*rung, source.width, source.height);
        const int32_t rate =
            i < request.bitrates.size() ? request.bitrates[i] : rung->default_bitrate;
        plan.push_back({name, size.width, size.height, rate, directory + name + ".m3u8"});
    }
    return plan;
}

// The input's length as its container states it, or -1.
int64_t input_duration_us(const SourceInput& input) {
    static_assert(AV_TIME_BASE == 1000000, "the container's duration is in microseconds");
    const int64_t duration = input.fmt_ctx->duration;
    return duration == AV_NOPTS_VALUE || duration <= 0 ? -1 : duration;
}

// Hands the plan to the report, where readers of progress find it.
void publish_plan(JobReport& report, std::vector<Rendition> plan, int64_t duration_us) {
    std::vector<RenditionOutcome> outcomes(plan.size());
    const std::lock_guard<std::mutex> lock(report.mutex);
    report.plan = std::move(plan);
    report.outcomes = std::move(outcomes);
    report.input_duration_us = duration_us;
}

// Items a rendition may be behind the source. Pictures are shared, not
// copied, so this bounds the decoded pictures alive at once: memory does not
// grow with the input's length.
constexpr std::size_t QUEUE_CAPACITY = 16;

constexpr const char* STOPPED = "the job was stopped";

// Lets a stop reach the stages' queues for as long as it lives.
struct StagesWatched {
    StagesWatched(JobControl& watching, std::function<void()> stop_stages) : control(watching) {
        watch_stages(control, std::move(stop_stages));
    }
    ~StagesWatched() { unwatch_stages(control); }
    StagesWatched(const StagesWatched&) = delete;
    StagesWatched& operator=(const StagesWatched&) = delete;
    JobControl& control;
};

// The source stage and one stage per rendition of the report's plan, each on
// its own thread, joined before this returns.
void run_stages(SourceStage& source, JobReport& report, const std::string& key,
                JobControl& control) {
    const std::vector<Rendition>& plan = report.plan;
    std::vector<std::unique_ptr<MediaQueue>> queues;
    std::vector<MediaQueue*> listeners;
    for (std::size_t k = 0; k < plan.size(); ++k) {
        queues.push_back(std::make_unique<MediaQueue>(QUEUE_CAPACITY));
        listeners.push_back(queues.back().get());
    }
    FanOut out = fan_out_to(listeners);
    const auto stop = [&out] { abort_all(out, STOPPED); };
    // Declared before the threads: a stop reaches the queues until every
    // thread was joined.
    const StagesWatched watched(control, stop);

    StageThreads threads(plan.size() + 1, stop);
    for (std::size_t k = 0; k < plan.size(); ++k)
        threads.start(
            [&, k] { run_rendition_stage(plan[k], key, *queues[k], control, report.outcomes[k]); });
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
}

std::vector<Rendition> created_renditions(const JobReport& report) {
    std::vector<Rendition> created;
    for (std::size_t k = 0; k < report.plan.size(); ++k)
        if (report.outcomes[k].created)
            created.push_back(report.plan[k]);
    return created;
}

// The last lines of a job that got past probing.
void finish_job(const std::string& output, JobReport& report, JobLog& log) {
    const std::vector<Rendition> created = created_renditions(report);
    const std::size_t planned = report.plan.size();
    const std::size_t failed = planned - created.size();
    // With variants planned but none made there is nothing to list; an older
    // playlist at `output` is left alone rather than replaced by an empty one.
    const bool playlist_due = planned == 0 || !created.empty();
    if (playlist_due) {
        report.master_written = write_master_playlist(output, created);
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

void fail_job(JobReport& report, JobLog& log, std::string error) {
    report.error = std::move(error);
    log_message(log, LOG_ERROR, report.error);
}

void end_stopped_job(JobReport& report, JobLog& log) {
    report.stopped = true;
    log_message(log, LOG_WARN, "Transcoding stopped: no master playlist written.");
}

} // namespace

void run_encode_job(const EncodeRequest& request, JobControl& control, JobReport& report) {
    JobLog& log = control.log;
    log_message(log, LOG_INFO, "Analyzing video file: " + request.input + "...");
    // The source keeps the input open from the probe to the end of the job;
    // the context's callbacks hold its address, so it stays where it is.
    auto source = std::make_unique<SourceStage>();
    const ProbeResult probe = open_source_input(request.input, source->input, control);
    // A stop interrupts the probe's reads, which then look like a bad input.
    if (control.cancelled.load())
        return end_stopped_job(report, log);
    if (probe == ProbeResult::cannot_open)
        return fail_job(report, log,
                        "Could not open " + request.input + ". Make sure the file exists.");
    if (probe == ProbeResult::no_video_stream)
        return fail_job(report, log, "No video stream found in the file.");
    const AVCodecParameters& video = *source->video_in()->codecpar;
    log_message(log, LOG_INFO,
                "Detected video size: " + std::to_string(video.width) + "x" +
                    std::to_string(video.height));

    publish_plan(report, plan_renditions(request, video, log), input_duration_us(source->input));
    if (!report.plan.empty())
        run_stages(*source, report, request.key_info, control);
    // Released before the last lines, which the libraries' own closing lines
    // would otherwise follow.
    source.reset();
    if (control.cancelled.load())
        return end_stopped_job(report, log);
    finish_job(request.output, report, log);
}
