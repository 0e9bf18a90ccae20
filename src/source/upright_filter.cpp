// The upright filter graph of the source stage: buffer -> transpose, hflip or
// vflip -> buffersink, run once per picture before the fan-out, so that every
// rendition scales a picture that is already the right way up.
#include <cstdio>
#include <string>

#include "source/source_stage.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/pixdesc.h>
}

namespace {

PictureFormat format_of(const AVFrame* frame) {
    return {frame->width, frame->height, frame->format};
}

// The graph's whole description: the decoded picture's format in, the
// stream's orientation filters, the upright picture out.
std::string upright_graph_description(const SourceStage& s, const AVFrame* decoded) {
    const char* pix_fmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(decoded->format));
    const AVRational sar = decoded->sample_aspect_ratio.num > 0 ? decoded->sample_aspect_ratio
                                                                : AVRational{1, 1};
    const AVRational time_base = s.video_in()->time_base;
    char source[256];
    std::snprintf(source, sizeof source,
                  "buffer=video_size=%dx%d:pix_fmt=%s:time_base=%d/%d:pixel_aspect=%d/%d [in]; ",
                  decoded->width, decoded->height, pix_fmt ? pix_fmt : "none", time_base.num,
                  time_base.den, sar.num, sar.den);
    return std::string(source) + "[in] " + s.orientation.filters + " [out]; [out] buffersink";
}

// Builds the graph for pictures of the decoded one's format, replacing one
// built for another format.
StepStatus build_upright_graph(SourceStage& s, const AVFrame* decoded) {
    constexpr const char* STEP = "could not set up the picture's rotation";
    s.upright_src_ctx = nullptr;
    s.upright_sink_ctx = nullptr;
    s.upright_graph.reset(avfilter_graph_alloc());
    if (!s.upright_graph)
        return step_failed(STEP, AVERROR(ENOMEM));
    AVFilterGraph* graph = s.upright_graph.get();
    // One picture at a time goes through; slice threads would cost more to
    // wake than the copy takes.
    graph->nb_threads = 1;
    const std::string description = upright_graph_description(s, decoded);
    int ret = avfilter_graph_parse_ptr(graph, description.c_str(), nullptr, nullptr, nullptr);
    if (ret < 0)
        return step_failed(STEP, ret);
    for (unsigned k = 0; k < graph->nb_filters; ++k) {
        AVFilterContext* filter = graph->filters[k];
        if (filter->nb_inputs == 0)
            s.upright_src_ctx = filter;
        if (filter->nb_outputs == 0)
            s.upright_sink_ctx = filter;
    }
    if (!s.upright_src_ctx || !s.upright_sink_ctx)
        return step_failed(STEP, AVERROR_BUG);
    ret = avfilter_graph_config(graph, nullptr);
    if (ret < 0)
        return step_failed(STEP, ret);
    s.upright_format = format_of(decoded);
    return step_ok();
}

} // namespace

StepStatus turn_upright(SourceStage& s, AVFrame* picture, const AVFrame*& shown) {
    shown = picture;
    if (!s.profile.upright || !s.orientation.filters)
        return step_ok();
    if (!s.upright_graph || !(s.upright_format == format_of(picture))) {
        const StepStatus status = build_upright_graph(s, picture);
        if (status.failed())
            return status;
    }
    if (!s.upright_frame) {
        s.upright_frame.reset(av_frame_alloc());
        if (!s.upright_frame)
            return step_failed("could not turn a picture upright", AVERROR(ENOMEM));
    }
    // The picture stays the caller's: the graph takes a reference.
    int ret = av_buffersrc_add_frame_flags(s.upright_src_ctx, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret < 0)
        return step_failed("could not turn a picture upright", ret);
    // Turning and mirroring hold no picture back: one in, one out.
    ret = av_buffersink_get_frame(s.upright_sink_ctx, s.upright_frame.get());
    if (ret < 0)
        return step_failed("could not turn a picture upright", ret);
    shown = s.upright_frame.get();
    return step_ok();
}
