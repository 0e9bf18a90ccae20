// An encode job on a thread of its own, for a caller that keeps its thread
// free while the job runs: it waits in short steps, takes the job's buffered
// lines and progress between them, and may stop the job at any moment.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "job/encode_job.h"

struct BackgroundJob {
    EncodeRequest request;
    JobEntry entry = run_encode_job;
    JobControl control; // its log is buffered
    JobReport report;
    std::mutex mutex;
    std::condition_variable ended_changed;
    bool ended = false;               // guarded by mutex
    std::exception_ptr runtime_error; // what escaped the job, read after the join
    // Whether the caller kept the job's files (finish) or had them removed (stop).
    bool kept = false;
    bool removed = false;
    std::thread thread; // last: started once everything above exists

    BackgroundJob() = default;
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;
    // A job left neither finished nor stopped is stopped.
    ~BackgroundJob();
};

// Starts `entry` (a whole title, or a part of a split one) on the request;
// throws std::system_error when no thread can be made.
std::unique_ptr<BackgroundJob> start_background_job(EncodeRequest request, JobEntry entry);

// Waits up to `timeout` for the job to end; true once it has.
bool wait_for_background_job(BackgroundJob& job, std::chrono::milliseconds timeout);

// Once the job ended: joins its thread, keeps its files, and rethrows what
// escaped it.
void finish_background_job(BackgroundJob& job);

// Stops the job, joins its thread and removes every file it wrote, whether it
// had ended (and was finished) or not: a stopped job leaves no package behind. Blocks for about
// as long as one packet or picture takes in its slowest stage.
void stop_background_job(BackgroundJob& job) noexcept;
