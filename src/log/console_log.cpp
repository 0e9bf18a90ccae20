// Console log: one process-wide lock keeps the lines of concurrent workers whole.
#include "log/console_log.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>

namespace {

// Constant-initialised, so it is usable before any dynamic initialiser runs and
// needs no teardown order at unload.
std::mutex log_mutex;

const char* level_name(LogLevel level) {
    if (level == LOG_ERROR)
        return "ERROR";
    if (level == LOG_SUCCESS)
        return "SUCCESS";
    if (level == LOG_WARN)
        return "WARN";
    return "INFO";
}

// Local wall-clock time to the second. Read under log_mutex, so that lines
// come out in the order of their timestamps.
std::string local_timestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::ostringstream text;
    std::tm local{};
    // The reentrant form: the media libraries may call localtime themselves.
    if (localtime_r(&now, &local))
        text << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
    return text.str();
}

} // namespace

void log_message(LogLevel level, const std::string& message) {
    const std::lock_guard<std::mutex> lock(log_mutex);
    std::ostream& stream = level == LOG_ERROR ? std::cerr : std::cout;
    // One write per line: the media libraries log to the same streams without
    // our lock, and would otherwise land between the pieces of an unbuffered
    // ERROR line.
    std::string line = "[" + local_timestamp() + "] [" + level_name(level) + "] ";
    line.append(message).append("\n");
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
}
