// What the Python suite cannot time: a stop that comes before the job's stages
// run, or after they ended, and the buffered log taken while threads write.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "pipeline/job_control.h"

TEST(JobControl, StopReachesTheStagesWheneverItComes) {
    JobControl control;
    int stops = 0;
    // Before the stages run: they are stopped the moment they are watched.
    stop_job(control);
    watch_stages(control, [&stops] { ++stops; });
    EXPECT_EQ(stops, 1);
    // While they run: at once.
    stop_job(control);
    EXPECT_EQ(stops, 2);
    // Once they ended: nothing is left to stop.
    unwatch_stages(control);
    stop_job(control);
    EXPECT_EQ(stops, 2);
    EXPECT_TRUE(control.cancelled.load());
}

TEST(JobLog, BufferedLinesKeepEachThreadsOrder) {
    JobLog log;
    log.buffered = true;
    constexpr int THREADS = 4;
    constexpr int LINES = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t)
        writers.emplace_back([&log, t] {
            for (int n = 0; n < LINES; ++n)
                log_message(log, t, std::to_string(t) + ":" + std::to_string(n));
        });
    std::vector<LogLine> taken;
    // Taken while the writers write, as the caller of a job does.
    while (taken.size() < THREADS * LINES) {
        for (LogLine& line : take_log_lines(log))
            taken.push_back(std::move(line));
    }
    for (std::thread& writer : writers)
        writer.join();
    EXPECT_TRUE(take_log_lines(log).empty());
    std::vector<int> next(THREADS, 0);
    for (const LogLine& line : taken) {
        const int t = line.level;
        ASSERT_EQ(line.message, std::to_string(t) + ":" + std::to_string(next[t]));
        ++next[t];
    }
}
