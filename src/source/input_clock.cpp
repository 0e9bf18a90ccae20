// The input's clock: packet timestamps freed of the jumps a discontinuous
// format may make, and how far filling may reach.
#include <algorithm>
#include <cstddef>

#include "source/source_stage.h"

namespace {

// A step back of more than a tenth of a second, or ahead by more than ten
// seconds, is a jump in the clock, not a gap in the content.
constexpr int64_t JUMP_BACK = AV_TIME_BASE / 10;
constexpr int64_t JUMP_AHEAD = 10 * int64_t{AV_TIME_BASE};
// How far filling may reach beyond the content placed.
constexpr int64_t MAX_FILL = 10 * int64_t{AV_TIME_BASE};

} // namespace

void start_input_clock(InputClock& clock, const AVFormatContext& fmt_ctx) {
    clock.may_jump = (fmt_ctx.iformat->flags & AVFMT_TS_DISCONT) != 0;
    clock.shift = 0;
    clock.jumps = 0;
    clock.next_dts.assign(fmt_ctx.nb_streams, AV_NOPTS_VALUE);
}

void steady_packet_timestamps(InputClock& clock, const AVFormatContext& fmt_ctx, AVPacket* pkt) {
    if (pkt->stream_index < 0 || static_cast<std::size_t>(pkt->stream_index) >= clock.next_dts.size())
        return;
    const AVRational time_base = fmt_ctx.streams[pkt->stream_index]->time_base;
    if (pkt->dts == AV_NOPTS_VALUE || !timestamp_in_range(pkt->dts) ||
        (pkt->pts != AV_NOPTS_VALUE && !timestamp_in_range(pkt->pts)))
        return;
    int64_t dts = av_rescale_q(pkt->dts, time_base, AV_TIME_BASE_Q) + clock.shift;
    int64_t& next_dts = clock.next_dts[static_cast<std::size_t>(pkt->stream_index)];
    if (clock.may_jump && next_dts != AV_NOPTS_VALUE) {
        const int64_t step = dts - next_dts;
        // Both streams move by the same amount, so they stay together.
        if ((step < -JUMP_BACK || step > JUMP_AHEAD) && timestamp_in_range(clock.shift - step)) {
            clock.shift -= step;
            dts -= step;
            ++clock.jumps;
        }
    }
    if (clock.shift != 0) {
        const int64_t shift = av_rescale_q(clock.shift, AV_TIME_BASE_Q, time_base);
        pkt->dts += shift;
        if (pkt->pts != AV_NOPTS_VALUE)
            pkt->pts += shift;
    }
    const int64_t duration =
        pkt->duration > 0 && timestamp_in_range(pkt->duration)
            ? av_rescale_q(pkt->duration, time_base, AV_TIME_BASE_Q)
            : 0;
    next_dts = timestamp_in_range(dts + duration) ? dts + duration : AV_NOPTS_VALUE;
}

void note_undecoded_packet(SourceStage& s, const AVPacket* pkt) {
    if (pkt->pts == AV_NOPTS_VALUE || !timestamp_in_range(pkt->pts))
        return;
    const AVRational time_base = s.input.fmt_ctx->streams[pkt->stream_index]->time_base;
    const int64_t duration =
        pkt->duration > 0 && timestamp_in_range(pkt->duration) ? pkt->duration : 0;
    const int64_t end =
        av_rescale_q(pkt->pts + duration, time_base, AV_TIME_BASE_Q) - s.origin_us;
    s.undecoded_end_us = std::max(s.undecoded_end_us, end);
}

bool fill_may_reach(const SourceStage& s, int64_t until) {
    // A split part's other stream, read but not decoded, counts as placed
    // where its packets reach: filling is bounded as in the whole title.
    int64_t placed = std::max<int64_t>(0, s.undecoded_end_us);
    if (s.timeline.last_pts != AV_NOPTS_VALUE)
        placed = std::max(placed, av_rescale_q(s.timeline.last_pts + 1, s.picture_time_base,
                                               AV_TIME_BASE_Q));
    for (const SoundBranch& branch : s.sound) {
        const AudioTimeline& audio = branch.timeline;
        if (audio.run_rate <= 0)
            continue;
        const int64_t audio_placed =
            av_rescale_q(audio.run_start, s.stream(branch.stream_index)->time_base,
                         AV_TIME_BASE_Q) +
            av_rescale(audio.run_samples, AV_TIME_BASE, audio.run_rate);
        placed = std::max(placed, audio_placed);
    }
    return until <= placed + MAX_FILL;
}
