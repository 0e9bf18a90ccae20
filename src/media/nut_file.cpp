#include "media/nut_file.h"

#include "media/paths.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// How much later every timestamp is held in the file: more than any
// negative time the engine writes.
constexpr int64_t HELD_LATER_US = AV_TIME_BASE;

} // namespace

StepStatus open_nut_output(const std::string& path, const AVCodecParameters& par,
                           AVRational time_base, FormatContextPtr& output, AVStream*& stream) {
    if (has_embedded_nul(path))
        return step_failed("could not create an intermediate file", AVERROR(EINVAL));
    AVFormatContext* fmt_ctx = nullptr;
    int ret = avformat_alloc_output_context2(&fmt_ctx, nullptr, "nut", path.c_str());
    output.reset(fmt_ctx);
    if (ret < 0)
        return step_failed("could not create an intermediate file", ret);
    fmt_ctx->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    fmt_ctx->output_ts_offset = HELD_LATER_US;
    stream = avformat_new_stream(fmt_ctx, nullptr);
    if (!stream)
        return step_failed("could not add the intermediate file's stream", AVERROR(ENOMEM));
    ret = avcodec_parameters_copy(stream->codecpar, &par);
    if (ret < 0)
        return step_failed("could not add the intermediate file's stream", ret);
    stream->time_base = time_base;
    ret = avio_open(&fmt_ctx->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0)
        return step_failed("could not write an intermediate file", ret);
    ret = avformat_write_header(fmt_ctx, nullptr);
    if (ret < 0)
        return step_failed("could not write an intermediate file's header", ret);
    return step_ok();
}

StepStatus open_nut_input(const std::string& path, FormatContextPtr& input) {
    constexpr const char* STEP = "could not open an intermediate file";
    if (has_embedded_nul(path))
        return step_failed(STEP, AVERROR(EINVAL));
    const AVInputFormat* nut = av_find_input_format("nut");
    if (!nut)
        return step_failed(STEP, AVERROR_DEMUXER_NOT_FOUND);
    AVDictionary* options = nullptr;
    int ret = av_dict_set(&options, "protocol_whitelist", "file", 0);
    if (ret < 0) {
        av_dict_free(&options);
        return step_failed(STEP, ret);
    }
    AVFormatContext* fmt_ctx = nullptr;
    // Frees the context itself on failure; the options left unused are ours.
    ret = avformat_open_input(&fmt_ctx, path.c_str(), nut, &options);
    av_dict_free(&options);
    input.reset(fmt_ctx);
    if (ret < 0)
        return step_failed(STEP, ret);
    if (fmt_ctx->nb_streams != 1)
        return step_failed(STEP, AVERROR_INVALIDDATA);
    return step_ok();
}

int read_nut_packet(AVFormatContext* input, AVPacket* pkt) {
    const int ret = av_read_frame(input, pkt);
    if (ret < 0)
        return ret;
    const int64_t held = av_rescale_q(HELD_LATER_US, AV_TIME_BASE_Q,
                                      input->streams[pkt->stream_index]->time_base);
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts -= held;
    if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts -= held;
    return ret;
}
