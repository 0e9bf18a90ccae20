// What every stage of one job watches besides its queues.
#pragma once

#include <atomic>

struct JobControl {
    // Set once, by whoever stops the job; each stage looks at it once per
    // packet or picture, and the queues are aborted along with it.
    std::atomic<bool> cancelled{false};
};
