#include "job/source_probe.h"

#include "variant/input_context.h"

SourceProbe probe_source(const std::string& input) {
    InputGate gate;
    FormatContextPtr fmt_ctx;
    if (open_input_context(input, gate, fmt_ctx) < 0)
        return {SourceProbe::Result::cannot_open};

    // A failure here still leaves the container's own stream headers, which is
    // often enough to find the video stream; the workers check again.
    find_stream_info(fmt_ctx.get());

    // Asking for the decoder makes a video stream that cannot be decoded not count.
    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(fmt_ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0)
        return {SourceProbe::Result::no_video_stream};

    const AVCodecParameters* codecpar = fmt_ctx->streams[index]->codecpar;
    return {SourceProbe::Result::ok, codecpar->width, codecpar->height};
}
