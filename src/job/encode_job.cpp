#include "job/encode_job.h"

#include <cstddef>
#include <memory>
#include <utility>

#include "job/master_playlist.h"
#include "job/rendition_ladder.h"
#include "job/stage_threads.h"
#include "log/console_log.h"
#include "media/paths.h"
#include "pipeline/job_control.h"
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
std::vector<Rendition> plan_renditions(const std::vector<std::string>& resolution,
                                       const std::vector<int32_t>& bitrate,
                                       const AVCodecParameters& source, const std::string& output) {
    const std::string directory = directory_of(output);
    std::vector<Rendition> plan;
    plan.reserve(resolution.size());
    for (std::size_t i = 0; i < resolution.size(); ++i) {
        const std::string& name = resolution[i];
        const RenditionRung* rung = find_rendition(name);
        if (!rung) {
            log_message(LOG_WARN, "Unknown resolution requested: " + name + ". Skipping.");
            continue;
        }
        // Two renditions of one name would write the same files at once.
        if (already_planned(plan, name)) {
            log_message(LOG_WARN, "Duplicate resolution requested: " + name + ". Skipping.");
            continue;
        }
        const FrameSize size = rendition_frame_size(*rung, source.width, source.height);
        const int32_t rate = i < bitrate.size() ? bitrate[i] : rung->default_bitrate;
        plan.push_back({name, size.width, size.height, rate, directory + name + ".m3u8"});
    }
    return plan;
}

// Items a rendition may be behind the source. Pictures are shared, not
// copied, so this bounds the decoded pictures alive at once: memory does not
// grow with the input's length.
constexpr std::size_t QUEUE_CAPACITY = 16;

// The source stage and one stage per rendition, each on its own thread,
// joined before this returns.
std::vector<RenditionOutcome> run_stages(SourceStage& source, const std::vector<Rendition>& plan,
                                         const std::string& key, JobControl& control) {
    std::vector<std::unique_ptr<MediaQueue>> queues;
    std::vector<MediaQueue*> listeners;
    for (std::size_t k = 0; k < plan.size(); ++k) {
        queues.push_back(std::make_unique<MediaQueue>(QUEUE_CAPACITY));
        listeners.push_back(queues.back().get());
    }
    FanOut out = fan_out_to(listeners);
    std::vector<RenditionOutcome> outcomes(plan.size());

    StageThreads threads(plan.size() + 1, [&out] { abort_all(out, "the job was stopped"); });
    for (std::size_t k = 0; k < plan.size(); ++k)
        threads.start([&, k] { run_rendition_stage(plan[k], key, *queues[k], outcomes[k]); });
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
    return outcomes;
}

std::vector<Rendition> created_renditions(const std::vector<Rendition>& plan,
                                          const std::vector<RenditionOutcome>& outcomes) {
    std::vector<Rendition> created;
    for (std::size_t k = 0; k < plan.size(); ++k)
        if (outcomes[k].created)
            created.push_back(plan[k]);
    return created;
}

// The last lines of a job that got past probing.
void finish_job(const std::string& output, const std::vector<Rendition>& plan,
                const std::vector<Rendition>& created) {
    const std::size_t failed = plan.size() - created.size();
    // With variants planned but none made there is nothing to list; an older
    // playlist at `output` is left alone rather than replaced by an empty one.
    const bool playlist_due = plan.empty() || !created.empty();
    bool playlist_written = false;
    if (playlist_due) {
        playlist_written = write_master_playlist(output, created);
        if (playlist_written)
            log_message(LOG_SUCCESS, "Encrypted Master playlist generated: " + output);
        else
            log_message(LOG_ERROR, "Could not write master playlist: " + output);
    }
    if (failed > 0)
        log_message(LOG_ERROR, "Transcoding finished with " + std::to_string(failed) + " of " +
                                   std::to_string(plan.size()) + " variants failed.");
    else if (playlist_written)
        log_message(LOG_SUCCESS, "All secure transcoding finished flawlessly.");
}

} // namespace

void run_encode_job(std::string input, std::string output, std::vector<std::string> resolution,
                    std::vector<int32_t> bitrate, std::string key) {
    log_message(LOG_INFO, "Analyzing video file: " + input + "...");
    // The source keeps the input open from the probe to the end of the job;
    // the context's callbacks hold its address, so it stays where it is.
    auto source = std::make_unique<SourceStage>();
    const ProbeResult probe = open_source_input(input, source->input);
    if (probe == ProbeResult::cannot_open) {
        log_message(LOG_ERROR, "Could not open " + input + ". Make sure the file exists.");
        return;
    }
    if (probe == ProbeResult::no_video_stream) {
        log_message(LOG_ERROR, "No video stream found in the file.");
        return;
    }
    const AVCodecParameters& video = *source->video_in()->codecpar;
    log_message(LOG_INFO, "Detected video size: " + std::to_string(video.width) + "x" +
                              std::to_string(video.height));

    const std::vector<Rendition> plan = plan_renditions(resolution, bitrate, video, output);
    std::vector<RenditionOutcome> outcomes;
    if (!plan.empty()) {
        JobControl control;
        outcomes = run_stages(*source, plan, key, control);
    }
    // Released before the last lines, which the libraries' own closing lines
    // would otherwise follow.
    source.reset();
    finish_job(output, plan, created_renditions(plan, outcomes));
}
