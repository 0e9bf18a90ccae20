#include "source/source_input.h"

namespace {

bool is_cover_art(const AVStream* stream) {
    return (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

// The best video stream that is a video: an attached picture (a music file's
// cover art) is one still image, not the programme. When the library's
// choice is one, the first other video stream a decoder exists for is taken,
// one marked as the default first.
int choose_video_stream(AVFormatContext* fmt_ctx, const AVCodec** decoder) {
    const int best = av_find_best_stream(fmt_ctx, AVMEDIA_TYPE_VIDEO, -1, -1, decoder, 0);
    if (best < 0 || !is_cover_art(fmt_ctx->streams[best]))
        return best;
    int chosen = AVERROR_STREAM_NOT_FOUND;
    for (const bool want_default : {true, false}) {
        for (unsigned i = 0; i < fmt_ctx->nb_streams && chosen < 0; ++i) {
            const AVStream* stream = fmt_ctx->streams[i];
            if (is_cover_art(stream) ||
                want_default != ((stream->disposition & AV_DISPOSITION_DEFAULT) != 0))
                continue;
            chosen = av_find_best_stream(fmt_ctx, AVMEDIA_TYPE_VIDEO, static_cast<int>(i), -1,
                                         decoder, 0);
        }
    }
    return chosen;
}

} // namespace

ProbeResult open_source_input(const std::string& path, SourceInput& input, JobControl& control) {
    if (open_input_context(path, input.gate, input.fmt_ctx, control) < 0)
        return ProbeResult::cannot_open;
    input.stream_info_result = find_stream_info(input.fmt_ctx.get());
    // Asking for the decoder makes a video stream that cannot be decoded not count.
    input.video_index = choose_video_stream(input.fmt_ctx.get(), &input.video_decoder);
    if (input.video_index < 0)
        return ProbeResult::no_video_stream;
    const int audio = av_find_best_stream(input.fmt_ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1,
                                          &input.audio_decoder, 0);
    input.audio_index = audio >= 0 ? audio : -1;
    input.audio_missing = audio >= 0 ? 0 : audio;
    return ProbeResult::ok;
}
