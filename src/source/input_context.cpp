#include "source/input_context.h"

#include "log/job_log.h"
#include "media/paths.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// A URL named inside an input is the input's content: only printable ASCII of
// it reaches the log, and not all of it.
std::string printable_url(const char* url) {
    constexpr std::size_t LIMIT = 200;
    std::string text;
    for (const char* c = url; *c != '\0' && text.size() < LIMIT; ++c)
        text += (*c >= 0x20 && *c < 0x7f) ? *c : '?';
    return text;
}

void log_refusal(InputGate& gate, const AVFormatContext* fmt_ctx, const char* url) {
    if (gate.refusal_logged)
        return;
    gate.refusal_logged = true;
    log_message(*gate.log, LOG_WARN,
                "Not opening " + printable_url(url) + ", named inside " +
                    std::string(fmt_ctx->url ? fmt_ctx->url : "the input") +
                    ": only the input itself is read.");
}

// The context's io_open: every file or URL a demuxer opens passes through it.
int open_only_the_input(AVFormatContext* fmt_ctx, AVIOContext** pb, const char* url, int flags,
                        AVDictionary** options) {
    auto* gate = static_cast<InputGate*>(fmt_ctx->opaque);
    // A context without our gate is one a demuxer made for itself and gave
    // our callback to; it may open nothing.
    if (!gate || gate->input_opened) {
        if (gate)
            log_refusal(*gate, fmt_ctx, url);
        return AVERROR(EPERM);
    }
    gate->input_opened = true;
    int ret = avio_open2(pb, url, flags, &fmt_ctx->interrupt_callback, options);
    if (ret < 0)
        return ret;
    // Demuxers that open their files through contexts of their own (the
    // concatenation script, for one) do not use this callback but inherit the
    // protocol whitelist: an empty one allows them nothing.
    ret = av_opt_set(fmt_ctx, "protocol_whitelist", "", 0);
    if (ret < 0) {
        avio_closep(pb);
        return ret;
    }
    return 0;
}

// The context's interrupt callback, asked while a read waits for data.
int stop_requested(void* cancelled) {
    return static_cast<const std::atomic<bool>*>(cancelled)->load() ? 1 : 0;
}

} // namespace

int open_input_context(const std::string& path, InputGate& gate, FormatContextPtr& fmt_ctx,
                       JobControl& control) {
    if (has_embedded_nul(path))
        return AVERROR(EINVAL);
    AVFormatContext* opening = avformat_alloc_context();
    if (!opening)
        return AVERROR(ENOMEM);
    gate.log = &control.log;
    opening->opaque = &gate;
    opening->io_open = open_only_the_input;
    opening->interrupt_callback.callback = stop_requested;
    opening->interrupt_callback.opaque = &control.cancelled;
    // Frees the context itself on failure.
    const int ret = avformat_open_input(&opening, path.c_str(), nullptr, nullptr);
    fmt_ctx.reset(opening);
    return ret;
}

int find_stream_info(AVFormatContext* fmt_ctx) {
    StreamDictionaries options(fmt_ctx->nb_streams);
    for (AVDictionary*& dict : options.dicts) {
        const int ret = av_dict_set_int(&dict, "max_pixels", MAX_INPUT_PIXELS, 0);
        if (ret < 0)
            return ret;
    }
    return avformat_find_stream_info(fmt_ctx, options.dicts.data());
}
