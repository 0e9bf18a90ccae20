// What a step of a stage reports: nothing on success, otherwise what was being
// done and the library's error code, kept for the one line that reports it.
#pragma once

#include <string>

struct StepStatus {
    const char* step = nullptr; // a string literal: it may cross threads
    int error = 0;              // negative AVERROR code
    bool failed() const { return step != nullptr; }
};

inline StepStatus step_ok() {
    return {};
}
inline StepStatus step_failed(const char* step, int error) {
    return {step, error};
}

// "step: reason", the text an ERROR line gives for a failed step.
std::string failure_text(const StepStatus& status);
