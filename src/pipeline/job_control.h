// What every stage of one job watches besides its queues, and how the job is
// stopped from outside.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "log/job_log.h"

// The step a stopped job's stages and parts end with.
constexpr const char* JOB_STOPPED = "the job was stopped";

struct JobControl {
    // Set once, by whoever stops the job; each stage looks at it once per
    // packet or picture, the input's reads look at it while they wait, and
    // the queues are aborted along with it.
    std::atomic<bool> cancelled{false};
    // Where the driver's and the stages' lines go.
    JobLog log;
    // Aborts every queue of the running stages, so that no wait goes on; set
    // by the driver while they run, empty otherwise. Guarded by stages_mutex.
    std::mutex stages_mutex;
    std::function<void()> stop_stages;
};

// Stops the job from any thread: safe at any moment of the job, before its
// stages started and after they ended too. Returns at once; the job's own
// thread then winds down within about one packet or picture of every stage.
void stop_job(JobControl& control) noexcept;

// Called by the driver around the time its stages run: from then on a stop
// aborts their queues (at once, when the job was stopped already).
void watch_stages(JobControl& control, std::function<void()> stop_stages);
void unwatch_stages(JobControl& control) noexcept;
