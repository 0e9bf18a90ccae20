// Reads the frame size of an input's best video stream, the one thing the job
// driver needs to know about the source before planning.
#pragma once

#include <cstdint>
#include <string>

struct SourceProbe {
    enum class Result { ok, cannot_open, no_video_stream };
    Result result;
    int32_t width = 0;
    int32_t height = 0;
};

SourceProbe probe_source(const std::string& input);
