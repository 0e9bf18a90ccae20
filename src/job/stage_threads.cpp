#include "job/stage_threads.h"

#include <stdexcept>
#include <utility>

#include "log/ffmpeg_log.h"

StageThreads::StageThreads(std::size_t capacity, std::function<void()> stop)
    : stop_(std::move(stop)) {
    // Reserved up front: a reallocation failing after a thread was made would
    // destroy a joinable std::thread, which ends the process.
    threads_.reserve(capacity);
}

StageThreads::~StageThreads() {
    if (!joined_)
        stop_();
    join_all();
}

void StageThreads::start(std::function<void()> routine) {
    if (threads_.size() == threads_.capacity())
        throw std::logic_error("more stage threads started than planned");
    // FFmpeg's lines from the stage belong to the job of the thread that starts it.
    threads_.emplace_back([log = current_ffmpeg_log(), routine = std::move(routine)] {
        const FfmpegLogScope scope(log);
        routine();
    });
}

void StageThreads::join_all() {
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
    joined_ = true;
}
