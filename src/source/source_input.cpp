#include "source/source_input.h"

ProbeResult open_source_input(const std::string& path, SourceInput& input, JobControl& control) {
    if (open_input_context(path, input.gate, input.fmt_ctx, control) < 0)
        return ProbeResult::cannot_open;
    input.stream_info_result = find_stream_info(input.fmt_ctx.get());
    // Asking for the decoder makes a video stream that cannot be decoded not count.
    input.video_index = av_find_best_stream(input.fmt_ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1,
                                            &input.video_decoder, 0);
    if (input.video_index < 0)
        return ProbeResult::no_video_stream;
    return ProbeResult::ok;
}
