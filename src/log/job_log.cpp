#include "log/job_log.h"

#include <utility>

void log_message(JobLog& log, LogLevel level, const std::string& message) {
    if (!log.buffered) {
        log_message(level, message);
        return;
    }
    LogLine line{level, message};
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.lines.push_back(std::move(line));
}

std::vector<LogLine> take_log_lines(JobLog& log) {
    std::vector<LogLine> taken;
    const std::lock_guard<std::mutex> lock(log.mutex);
    taken.swap(log.lines);
    return taken;
}
