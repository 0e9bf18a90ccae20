// A job's stages on their threads: the source and one per rendition, or the
// source and a split job's sound writer.
#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "job/job_steps.h"
#include "job/split_parts.h"
#include "job/stage_threads.h"
#include "rendition/rendition_stage.h"

namespace {

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

} // namespace

void run_stages(SourceStage& source, JobReport& report, const EncodeRequest& request,
                JobControl& control) {
    const std::vector<Rendition>& plan = report.plan;
    // Skipped renditions get no stage and no queue.
    std::vector<std::size_t> made;
    for (std::size_t k = 0; k < plan.size(); ++k)
        if (plan[k].skip_reason.empty())
            made.push_back(k);
    std::vector<std::unique_ptr<MediaQueue>> queues;
    std::vector<MediaQueue*> listeners;
    for (std::size_t m = 0; m < made.size(); ++m) {
        queues.push_back(std::make_unique<MediaQueue>(QUEUE_CAPACITY));
        listeners.push_back(queues.back().get());
    }
    FanOut out = fan_out_to(listeners);
    // One sound is muxed into every video variant; several are renditions
    // of their own, and the video variants carry pictures alone.
    for (std::size_t m = 0; m < made.size(); ++m) {
        const Rendition& rendition = plan[made[m]];
        out.takes_pictures[m] = rendition.audio_track < 0;
        out.audio_track[m] = rendition.audio_track >= 0       ? rendition.audio_track
                             : source.audio_streams.size() == 1 ? 0
                                                                : -1;
    }
    const auto stop = [&out] { abort_all(out, JOB_STOPPED); };
    // Declared before the threads: a stop reaches the queues until every
    // thread was joined.
    const StagesWatched watched(control, stop);

    StageThreads threads(made.size() + 1, stop);
    for (std::size_t m = 0; m < made.size(); ++m) {
        const std::size_t k = made[m];
        threads.start([&, k, m] {
            run_rendition_stage(plan[k], request.profile, request.key_info, *queues[m], control,
                                report.outcomes[k]);
        });
    }
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
}

void run_sound_stages(SourceStage& source, JobReport& report, const EncodeRequest& request,
                      JobControl& control) {
    // The source's branches are made as it sets up: one queue and one writer
    // per audio track of the title.
    const std::size_t tracks = source.audio_streams.size();
    std::vector<std::unique_ptr<MediaQueue>> queues;
    std::vector<MediaQueue*> listeners;
    for (std::size_t k = 0; k < std::max<std::size_t>(tracks, 1); ++k) {
        queues.push_back(std::make_unique<MediaQueue>(QUEUE_CAPACITY));
        listeners.push_back(queues.back().get());
    }
    FanOut out = fan_out_to(listeners);
    for (std::size_t k = 0; k < listeners.size(); ++k) {
        out.takes_pictures[k] = 0;
        out.audio_track[k] = static_cast<int>(k);
    }
    const auto stop = [&out] { abort_all(out, JOB_STOPPED); };
    const StagesWatched watched(control, stop);
    std::vector<StepStatus> status(listeners.size());
    std::vector<char> wrote(listeners.size(), 0);
    std::vector<std::string> why(listeners.size());
    StageThreads threads(listeners.size() + 1, stop);
    for (std::size_t k = 0; k < listeners.size(); ++k)
        threads.start([&, k] {
            bool written = false;
            status[k] = write_sound_part(*queues[k], sound_file(request.part.work_dir, static_cast<int>(k)),
                                         control, written, why[k]);
            wrote[k] = written;
        });
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
    report.sound_tracks_written = 0;
    for (std::size_t k = 0; k < listeners.size(); ++k) {
        if (status[k].failed() && !control.cancelled.load() && report.error.empty())
            report.error = why[k].empty() ? failure_text(status[k]) : why[k];
        report.sound_tracks_written += wrote[k] ? 1 : 0;
    }
}
