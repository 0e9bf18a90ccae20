// The bounded queue between two stages of a job. The producer blocks while it
// is full, so memory is capped by its capacity and the slower side sets the
// pace. Either side can end it: close() is the end of the stream (what is
// queued is still delivered), abort() is a failure or a cancellation (what is
// queued is dropped). Every blocking push and pop returns once either happens,
// so no way out of a job can hang on a queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

template <typename Item> class StageQueue {
  public:
    explicit StageQueue(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}
    StageQueue(const StageQueue&) = delete;
    StageQueue& operator=(const StageQueue&) = delete;

    // Waits for room. False when the queue was aborted or closed: the item is
    // then released here, and the consumer is gone for good.
    bool push(Item item) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return aborted_ || closed_ || items_.size() < capacity_; });
        if (aborted_ || closed_) {
            lock.unlock(); // the item's release may call into the media libraries
            return false;
        }
        items_.push_back(std::move(item));
        changed_.notify_all();
        return true;
    }

    // Waits for an item. False at the end: closed and drained, or aborted
    // (why() then tells the reason).
    bool pop(Item& item) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return aborted_ || closed_ || !items_.empty(); });
        if (aborted_ || items_.empty())
            return false;
        Item taken = std::move(items_.front());
        items_.pop_front();
        changed_.notify_all();
        lock.unlock();
        // The previous content of `item` is released outside the lock.
        item = std::move(taken);
        return true;
    }

    // End of stream: no more pushes; pops deliver what is queued, then end.
    void close() {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    // Failure or cancellation. The first reason given is kept; queued items
    // are released outside the lock.
    void abort(const std::string& why) noexcept {
        std::deque<Item> dropped;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!aborted_) {
                try {
                    why_ = why;
                } catch (...) {
                    // Without memory for the reason the queue still ends.
                }
            }
            aborted_ = true;
            dropped.swap(items_);
            changed_.notify_all();
        }
    }

    bool aborted() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return aborted_;
    }

    std::string why() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return why_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> items_;
    const std::size_t capacity_;
    bool closed_ = false;
    bool aborted_ = false;
    std::string why_;
};
