// A pictures part's output: the rendition's encoded pictures in NUT, which
// keeps the encoder's time base, so that the stitch gets back every packet
// with the timestamps the whole-title encode would have given it.
#include <cerrno>
#include <cstdio>

#include "media/paths.h"
#include "rendition/rendition_stage.h"

StepStatus open_intermediate_output(RenditionStage& r) {
    const std::string path = partial_name(r.rendition.intermediate_path);
    if (has_embedded_nul(path))
        return step_failed("could not create the intermediate output", AVERROR(EINVAL));
    AVFormatContext* fmt_ctx = nullptr;
    int ret = avformat_alloc_output_context2(&fmt_ctx, nullptr, "nut", path.c_str());
    r.output.reset(fmt_ctx);
    if (ret < 0)
        return step_failed("could not create the intermediate output", ret);
    // Every chunk keeps the whole title's timestamps; shifting the first
    // one's to avoid its negative decoding times would move its pictures.
    fmt_ctx->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    r.video_out = avformat_new_stream(fmt_ctx, nullptr);
    if (!r.video_out)
        return step_failed("could not add the video output stream", AVERROR(ENOMEM));
    ret = avcodec_parameters_copy(r.video_out->codecpar, r.video_par.get());
    if (ret < 0)
        return step_failed("could not copy the video encoder parameters", ret);
    r.video_out->time_base = r.rendition.clock.time_base();
    ret = avio_open(&fmt_ctx->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0)
        return step_failed(WRITE_STEP, ret);
    r.output_files.written.push_back(path);
    ret = avformat_write_header(fmt_ctx, nullptr);
    if (ret < 0)
        return step_failed("could not write header", ret);
    r.header_written = true;
    return step_ok();
}

StepStatus place_intermediate_file(const Rendition& rendition) {
    const std::string& path = rendition.intermediate_path;
    if (std::rename(partial_name(path).c_str(), path.c_str()) != 0)
        return step_failed(WRITE_STEP, AVERROR(errno));
    return step_ok();
}
