// The worker threads of one job: one per planned variant, each running the
// variant routine on its own copies of its arguments and reporting back
// whether its variant was created.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using VariantRoutine = bool (*)(const std::string& input_path, const std::string& playlist_name,
                                int32_t width, int32_t height, int32_t video_bitrate,
                                const std::string& key_info_path);

struct VariantTask {
    std::string input_path;
    std::string playlist_name;
    int32_t width;
    int32_t height;
    int32_t video_bitrate;
    std::string key_info_path;
};

// Runs the routine for one task on the calling thread. An exception that
// leaves the routine is logged and counts as a variant not created: it must
// never reach the thread boundary, where it would end the process.
bool run_variant_guarded(VariantRoutine routine, const VariantTask& task) noexcept;

// Started workers are joined when the set goes out of scope, so that no error
// can leave the driver while a worker still runs.
class VariantWorkers {
  public:
    VariantWorkers(VariantRoutine routine, std::size_t capacity);
    ~VariantWorkers();
    VariantWorkers(const VariantWorkers&) = delete;
    VariantWorkers& operator=(const VariantWorkers&) = delete;

    // Starts the next worker at once. Throws std::system_error when the thread
    // cannot be created; workers started before stay running until joined.
    void start(VariantTask task);
    void join_all();
    // Valid after join_all: whether worker k created its variant.
    bool created(std::size_t k) const { return created_[k] != 0; }
    std::size_t size() const { return threads_.size(); }

  private:
    VariantRoutine routine_;
    std::size_t capacity_;
    // Sized once: each worker writes its own slot, and the slots must not move
    // while workers run. Read only after the writer was joined.
    std::vector<char> created_;
    std::vector<std::thread> threads_;
};
