// The thread boundary of variant workers: outcomes reach the driver, and an
// exception inside a worker neither ends the process nor counts as success.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "job/variant_workers.h"

namespace {

std::atomic<int> finished_routines{0};

bool created_when_named_ok(const std::string&, const std::string& playlist_name, int32_t, int32_t,
                           int32_t, const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ++finished_routines;
    return playlist_name.rfind("ok", 0) == 0;
}

bool throws_runtime_error(const std::string&, const std::string&, int32_t, int32_t, int32_t,
                          const std::string&) {
    throw std::runtime_error("disk on fire");
}

bool throws_bad_alloc(const std::string&, const std::string&, int32_t, int32_t, int32_t,
                      const std::string&) {
    throw std::bad_alloc();
}

bool throws_non_exception(const std::string&, const std::string&, int32_t, int32_t, int32_t,
                          const std::string&) {
    throw 42;
}

VariantTask task_named(const std::string& playlist_name) {
    return {"in.mp4", playlist_name, 640, 360, 400000, "enc.keyinfo"};
}

} // namespace

TEST(VariantWorkers, OutcomesAreReadAfterJoin) {
    finished_routines = 0;
    VariantWorkers workers(created_when_named_ok, 4);
    workers.start(task_named("ok-1.m3u8"));
    workers.start(task_named("bad-2.m3u8"));
    workers.start(task_named("ok-3.m3u8"));
    workers.join_all();
    EXPECT_EQ(finished_routines.load(), 3);
    ASSERT_EQ(workers.size(), 3u);
    EXPECT_TRUE(workers.created(0));
    EXPECT_FALSE(workers.created(1));
    EXPECT_TRUE(workers.created(2));
}

TEST(VariantWorkers, EscapingExceptionIsLoggedAsFailedVariant) {
    struct Case {
        VariantRoutine routine;
        const char* reason;
    };
    const Case cases[] = {{throws_runtime_error, "disk on fire"},
                          {throws_bad_alloc, "std::bad_alloc"},
                          {throws_non_exception, "unknown exception"}};
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        VariantWorkers workers(c.routine, 1);
        workers.start(task_named("720p.m3u8"));
        workers.join_all();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(workers.created(0));
        EXPECT_NE(err.find("] [ERROR] Variant 720p.m3u8 failed: " + std::string(c.reason) + "\n"),
                  std::string::npos)
            << err;
    }
}

TEST(VariantWorkers, LeavingScopeJoinsRunningWorkers) {
    finished_routines = 0;
    try {
        VariantWorkers workers(created_when_named_ok, 2);
        workers.start(task_named("ok-1.m3u8"));
        workers.start(task_named("ok-2.m3u8"));
        throw std::runtime_error("planning failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(finished_routines.load(), 2);
}

TEST(VariantWorkers, StartingMoreThanPlannedIsRefused) {
    VariantWorkers workers(created_when_named_ok, 1);
    workers.start(task_named("ok-1.m3u8"));
    EXPECT_THROW(workers.start(task_named("ok-2.m3u8")), std::logic_error);
}
