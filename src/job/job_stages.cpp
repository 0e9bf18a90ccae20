// A job's stages on their threads: the source and one per rendition, or the
// source and a split job's sound writer.
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
    MediaQueue queue(QUEUE_CAPACITY);
    FanOut out = fan_out_to({&queue});
    const auto stop = [&out] { abort_all(out, JOB_STOPPED); };
    const StagesWatched watched(control, stop);
    StepStatus status;
    bool wrote = false;
    std::string why;
    StageThreads threads(2, stop);
    threads.start([&] {
        status = write_sound_part(queue, sound_file(request.part.work_dir), control, wrote, why);
    });
    threads.start([&] { run_source_stage(source, out, control); });
    threads.join_all();
    if (status.failed() && !control.cancelled.load())
        report.error = why.empty() ? failure_text(status) : why;
    report.sound_written = wrote;
}

