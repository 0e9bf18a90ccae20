// The queues and threads between a job's stages: nothing is lost at the end
// of a stream, the producer waits for a slow consumer, and every way out
// (abort, a thread that fails to start) ends every wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "job/stage_threads.h"
#include "pipeline/stage_queue.h"

namespace {

using IntQueue = StageQueue<std::unique_ptr<int>>;

} // namespace

TEST(StageQueue, CloseDeliversWhatIsQueuedThenEnds) {
    IntQueue queue(8);
    for (int k = 0; k < 5; ++k)
        ASSERT_TRUE(queue.push(std::make_unique<int>(k)));
    queue.close();
    EXPECT_FALSE(queue.push(std::make_unique<int>(99)));
    std::unique_ptr<int> item;
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(queue.pop(item));
        EXPECT_EQ(*item, k);
    }
    EXPECT_FALSE(queue.pop(item));
    EXPECT_FALSE(queue.aborted());
}

TEST(StageQueue, ProducerWaitsForTheConsumerAndNothingIsLost) {
    constexpr int ITEMS = 20000;
    IntQueue queue(4);
    std::thread producer([&] {
        for (int k = 0; k < ITEMS; ++k)
            ASSERT_TRUE(queue.push(std::make_unique<int>(k)));
        queue.close();
    });
    std::unique_ptr<int> item;
    int expected = 0;
    while (queue.pop(item)) {
        ASSERT_EQ(*item, expected);
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, ITEMS);
}

TEST(StageQueue, AbortEndsBlockedPushAndPopWithTheFirstReason) {
    IntQueue full(1);
    ASSERT_TRUE(full.push(std::make_unique<int>(1)));
    IntQueue empty(1);
    std::atomic<bool> push_returned{false};
    std::atomic<bool> pop_returned{false};
    std::thread producer([&] {
        EXPECT_FALSE(full.push(std::make_unique<int>(2)));
        push_returned = true;
    });
    std::thread consumer([&] {
        std::unique_ptr<int> item;
        EXPECT_FALSE(empty.pop(item));
        pop_returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(push_returned.load());
    EXPECT_FALSE(pop_returned.load());
    full.abort("could not read input: Input/output error");
    empty.abort("first");
    empty.abort("second");
    producer.join();
    consumer.join();
    EXPECT_EQ(full.why(), "could not read input: Input/output error");
    EXPECT_EQ(empty.why(), "first");
    std::unique_ptr<int> item;
    EXPECT_FALSE(full.pop(item)); // what was queued is dropped
}

TEST(StageThreads, LeavingByAnErrorStopsAndJoinsWaitingStages) {
    IntQueue queue(1);
    std::atomic<int> ended{0};
    try {
        StageThreads threads(2, [&queue] { queue.abort("stopped"); });
        // A consumer whose producer never starts.
        threads.start([&] {
            std::unique_ptr<int> item;
            while (queue.pop(item)) {
            }
            ++ended;
        });
        throw std::runtime_error("could not start the source");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(ended.load(), 1);
    EXPECT_EQ(queue.why(), "stopped");
}

TEST(StageThreads, StartingMoreThanPlannedIsRefused) {
    StageThreads threads(1, [] {});
    threads.start([] {});
    EXPECT_THROW(threads.start([] {}), std::logic_error);
    threads.join_all();
}
