// The threads of one job's stages: one source and one per rendition, all
// joined by the scope that started them.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

class StageThreads {
  public:
    // `stop` ends every stage's waiting (it aborts the job's queues). It runs
    // when the set is left while threads may still be waiting for a stage
    // that was never started: after an error, before the join.
    StageThreads(std::size_t capacity, std::function<void()> stop);
    ~StageThreads();
    StageThreads(const StageThreads&) = delete;
    StageThreads& operator=(const StageThreads&) = delete;

    // Starts `routine`, which must not throw, at once. Throws std::system_error
    // when the thread cannot be created.
    void start(std::function<void()> routine);
    void join_all();

  private:
    std::function<void()> stop_;
    std::vector<std::thread> threads_;
    bool joined_ = false;
};
