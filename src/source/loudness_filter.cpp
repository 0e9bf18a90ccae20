// The loudness filter graph of a job: decoded input audio in, loudness-
// normalised 44100 Hz planar-float stereo out, exactly what the AAC encoder takes.
#include <cstdio>
#include <string>

#include "source/source_stage.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace {

constexpr const char* LOUDNESS_FILTERS =
    "loudnorm=I=-14:LRA=11:TP=-1.5,"
    "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo";
// The loudness of the sound as delivered: a 5.1 mix is measured with its
// surround channels weighted up, and its downmix to stereo then comes out
// louder than the target (-10.9 LUFS for a tone on all six channels).
constexpr const char* DOWNMIX_THEN_LOUDNESS_FILTERS =
    "aformat=channel_layouts=stereo,"
    "loudnorm=I=-14:LRA=11:TP=-1.5,"
    "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo";

// The abuffer arguments for decoded audio of `format`.
std::string buffersrc_args(AVRational time_base, const AudioFormat& format) {
    const char* sample_fmt = av_get_sample_fmt_name(static_cast<AVSampleFormat>(format.sample_fmt));
    char args[512];
    std::snprintf(args, sizeof args,
                  "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", time_base.num,
                  time_base.den, format.sample_rate, sample_fmt ? sample_fmt : "none",
                  format.channel_layout.c_str());
    return args;
}

// One-entry pad list naming a filter's pad for the graph parser.
FilterInOutPtr pad_list(const char* name, AVFilterContext* filter_ctx) {
    FilterInOutPtr pad(avfilter_inout_alloc());
    if (!pad)
        return nullptr;
    pad->name = av_strdup(name);
    if (!pad->name)
        return nullptr;
    pad->filter_ctx = filter_ctx;
    pad->pad_idx = 0;
    pad->next = nullptr;
    return pad;
}

} // namespace

AudioFormat audio_format_of(int sample_rate, int sample_fmt, const AVChannelLayout& layout) {
    char described[64] = {};
    av_channel_layout_describe(&layout, described, sizeof described);
    // A layout the library cannot describe is taken for stereo.
    if (described[0] == '\0')
        std::snprintf(described, sizeof described, "stereo");
    return {sample_rate, sample_fmt, described};
}

StepStatus build_loudness_filter(const SourceStage& s, SoundBranch& a, const AudioFormat& format) {
    // A graph built again (the decoded format changed) replaces the old one,
    // which was flushed first.
    a.buffersrc_ctx = nullptr;
    a.buffersink_ctx = nullptr;
    a.filter_format = AudioFormat();
    a.filter_graph.reset(avfilter_graph_alloc());
    if (!a.filter_graph)
        return step_failed("could not allocate the audio filter graph", AVERROR(ENOMEM));
    const AVFilter* buffersrc = avfilter_get_by_name("abuffer");
    const AVFilter* buffersink = avfilter_get_by_name("abuffersink");
    if (!buffersrc || !buffersink)
        return step_failed("could not find the audio buffer filters", AVERROR_FILTER_NOT_FOUND);

    int ret =
        avfilter_graph_create_filter(&a.buffersrc_ctx, buffersrc, "in", buffersrc_args(s.stream(a.stream_index)->time_base, format).c_str(),
                                     nullptr, a.filter_graph.get());
    if (ret < 0)
        return step_failed("could not create the audio filter source", ret);
    ret = avfilter_graph_create_filter(&a.buffersink_ctx, buffersink, "out", nullptr, nullptr,
                                       a.filter_graph.get());
    if (ret < 0)
        return step_failed("could not create the audio filter sink", ret);

    // The parser takes what it links out of these lists; what is left stays ours.
    FilterInOutPtr outputs = pad_list("in", a.buffersrc_ctx);
    FilterInOutPtr inputs = pad_list("out", a.buffersink_ctx);
    if (!outputs || !inputs)
        return step_failed("could not allocate the audio filter pads", AVERROR(ENOMEM));
    AVFilterInOut* inputs_left = inputs.release();
    AVFilterInOut* outputs_left = outputs.release();
    const char* filters =
        s.profile.loudness_after_downmix ? DOWNMIX_THEN_LOUDNESS_FILTERS : LOUDNESS_FILTERS;
    ret = avfilter_graph_parse_ptr(a.filter_graph.get(), filters, &inputs_left, &outputs_left,
                                   nullptr);
    inputs.reset(inputs_left);
    outputs.reset(outputs_left);
    if (ret < 0)
        return step_failed("could not parse the audio filter graph", ret);
    ret = avfilter_graph_config(a.filter_graph.get(), nullptr);
    if (ret < 0)
        return step_failed("could not configure the audio filter graph", ret);
    a.filter_format = format;
    return step_ok();
}
