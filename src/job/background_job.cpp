#include "job/background_job.h"

#include <utility>

#include "log/ffmpeg_log.h"

namespace {

void run_in_background(BackgroundJob& job) noexcept {
    try {
        const BufferedJobMark running;
        const FfmpegLogScope scope(&job.control.log);
        job.entry(job.request, job.control, job.report);
    } catch (...) {
        job.runtime_error = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(job.mutex);
    job.ended = true;
    job.ended_changed.notify_all();
}

} // namespace

BackgroundJob::~BackgroundJob() {
    if (!kept)
        stop_background_job(*this);
}

std::unique_ptr<BackgroundJob> start_background_job(EncodeRequest request, JobEntry entry) {
    auto job = std::make_unique<BackgroundJob>();
    job->request = std::move(request);
    job->entry = entry;
    job->control.log.buffered = true;
    BackgroundJob* running = job.get();
    job->thread = std::thread([running] { run_in_background(*running); });
    return job;
}

bool wait_for_background_job(BackgroundJob& job, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(job.mutex);
    return job.ended_changed.wait_for(lock, timeout, [&job] { return job.ended; });
}

void finish_background_job(BackgroundJob& job) {
    if (job.thread.joinable())
        job.thread.join();
    job.kept = true;
    if (job.runtime_error)
        std::rethrow_exception(std::exchange(job.runtime_error, nullptr));
}

void stop_background_job(BackgroundJob& job) noexcept {
    stop_job(job.control);
    if (job.thread.joinable())
        job.thread.join();
    if (!job.removed) {
        job.removed = true;
        remove_job_files(job.report, job.request.output);
    }
}
