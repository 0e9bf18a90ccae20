// Opening an input for demuxing so that it reads the input and nothing else.
#pragma once

#include <cstdint>
#include <string>

#include "media/ffmpeg_owners.h"
#include "pipeline/job_control.h"

// What one input context has opened. A playlist or a concatenation script
// names further files and URLs, and its demuxer would open them: other
// people's uploads, local files, internal network addresses. The gate lets the
// context open its input once and refuses every later open. It must outlive the
// context: declare it before the context's owner.
struct InputGate {
    bool input_opened = false;
    bool refusal_logged = false;
    JobLog* log = nullptr; // the job's, for the first refusal
};

// Opens `path` for demuxing behind `gate`. On failure returns the negative
// AVERROR code and leaves `fmt_ctx` empty; the library frees a half-opened
// context itself. Every read of the context, the probe's included, ends with
// AVERROR_EXIT once `control` is stopped: `control` must outlive the context.
int open_input_context(const std::string& path, InputGate& gate, FormatContextPtr& fmt_ctx,
                       JobControl& control);

// The largest picture the system decodes, 8192x8192 or its equal in pixels.
// The libraries would take up to about 268 million pixels, which a header of a
// few bytes can declare: gigabytes per decoder, with its reference pictures.
constexpr int64_t MAX_INPUT_PIXELS = int64_t{8192} * 8192;

// avformat_find_stream_info with the decoders it opens to look at the first
// packets held to MAX_INPUT_PIXELS.
int find_stream_info(AVFormatContext* fmt_ctx);
