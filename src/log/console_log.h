// The one console log every thread reports through: whole, timestamped,
// levelled lines on the process's standard streams.
#pragma once

#include <string>

// Level of a log line. Any value other than these is written as INFO.
using LogLevel = int;
constexpr LogLevel LOG_INFO = 0;
constexpr LogLevel LOG_WARN = 1;
constexpr LogLevel LOG_ERROR = 2;
constexpr LogLevel LOG_SUCCESS = 3;

// Writes "[YYYY-MM-DD HH:MM:SS] [LEVEL] message\n" as one unit: ERROR lines go
// to standard error, every other level to standard output. Safe to call from
// any thread at any time.
void log_message(LogLevel level, const std::string& message);
