// Where the lines of one job go: the process's console (hls_encoder), or a
// buffer that the caller drains, in order, from a thread of its own (encode,
// which hands them to Python's logging).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/console_log.h"

struct LogLine {
    // The engine's LogLevel, or FFmpeg's AV_LOG_* level for one of its lines.
    LogLevel level = LOG_INFO;
    std::string message;
    bool from_ffmpeg = false;
};

struct JobLog {
    // Chosen before the job starts, never changed while it runs.
    bool buffered = false;
    std::mutex mutex;
    std::vector<LogLine> lines; // buffered lines not yet taken, oldest first
};

// One line of the job, from any of its threads: to the console as
// log_message(level, message) writes it, or appended to the buffer.
void log_message(JobLog& log, LogLevel level, const std::string& message);

// The buffered lines in the order they were logged; the buffer is left empty.
std::vector<LogLine> take_log_lines(JobLog& log);
