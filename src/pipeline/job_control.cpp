#include "pipeline/job_control.h"

#include <utility>

void stop_job(JobControl& control) noexcept {
    // The flag first: a driver that sets its stopper after this lock sees it.
    control.cancelled.store(true);
    const std::lock_guard<std::mutex> lock(control.stages_mutex);
    if (control.stop_stages)
        control.stop_stages();
}

void watch_stages(JobControl& control, std::function<void()> stop_stages) {
    {
        const std::lock_guard<std::mutex> lock(control.stages_mutex);
        control.stop_stages = std::move(stop_stages);
    }
    // A stop that came before the stopper was set found nothing to call.
    if (control.cancelled.load())
        stop_job(control);
}

void unwatch_stages(JobControl& control) noexcept {
    const std::lock_guard<std::mutex> lock(control.stages_mutex);
    control.stop_stages = nullptr;
}
