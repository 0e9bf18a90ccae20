// The input of a job, opened once: the driver learns the frame size from it
// before planning, and the source stage then goes on reading the same context.
#pragma once

#include <string>

#include "media/ffmpeg_owners.h"
#include "source/input_context.h"

// Must not move once opened: the context's callbacks hold the gate's address.
struct SourceInput {
    InputGate gate; // must outlive fmt_ctx
    FormatContextPtr fmt_ctx;
    // What reading the stream information returned: the driver goes on with
    // the container's own headers, the source stage fails on it.
    int stream_info_result = 0;
    int video_index = -1;
    const AVCodec* video_decoder = nullptr; // borrowed from the library
    // The sound: the best audio stream a decoder exists for, or -1, and why
    // there is none (the library's code).
    int audio_index = -1;
    int audio_missing = 0;
    const AVCodec* audio_decoder = nullptr; // borrowed from the library

    AVStream* video_stream() const { return fmt_ctx->streams[video_index]; }
    AVStream* audio_stream() const { return audio_index >= 0 ? fmt_ctx->streams[audio_index] : nullptr; }
};

enum class ProbeResult { ok, cannot_open, no_video_stream };

// Opens `path` behind the input's gate, reads its stream information and
// chooses its video and audio streams: ones that a decoder exists for. A stop
// of `control` interrupts every read of the input.
ProbeResult open_source_input(const std::string& path, SourceInput& input, JobControl& control);
