#include "job/variant_workers.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "log/console_log.h"

namespace {

void log_escaped_exception(const std::string& playlist_name, const char* what) noexcept {
    try {
        log_message(LOG_ERROR, "Variant " + playlist_name + " failed: " + what);
    } catch (...) {
        // Nothing left to report through: the log itself failed.
    }
}

} // namespace

bool run_variant_guarded(VariantRoutine routine, const VariantTask& task) noexcept {
    try {
        return routine(task.input_path, task.playlist_name, task.width, task.height,
                       task.video_bitrate, task.key_info_path);
    } catch (const std::exception& error) {
        log_escaped_exception(task.playlist_name, error.what());
    } catch (...) {
        log_escaped_exception(task.playlist_name, "unknown exception");
    }
    return false;
}

VariantWorkers::VariantWorkers(VariantRoutine routine, std::size_t capacity)
    : routine_(routine), capacity_(capacity), created_(capacity, 0) {
    // Reserved up front: a reallocation failing after a thread was made would
    // destroy a joinable std::thread, which ends the process.
    threads_.reserve(capacity);
}

VariantWorkers::~VariantWorkers() {
    join_all();
}

void VariantWorkers::start(VariantTask task) {
    if (threads_.size() >= capacity_)
        throw std::logic_error("more variant workers started than planned");
    char* created = &created_[threads_.size()];
    threads_.emplace_back([routine = routine_, created, task = std::move(task)] {
        *created = run_variant_guarded(routine, task) ? 1 : 0;
    });
}

void VariantWorkers::join_all() {
    for (std::thread& worker : threads_)
        if (worker.joinable())
            worker.join();
}
