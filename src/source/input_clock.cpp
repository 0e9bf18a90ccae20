// The input's clock: the origin every output timestamp is measured from, and
// packet timestamps freed of the jumps a discontinuous format may make.
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

int64_t job_origin(const SourceStage& s) {
    int64_t origin = AV_NOPTS_VALUE;
    for (const AVStream* stream : {s.video_in(), s.has_audio() ? s.audio_in() : nullptr}) {
        if (!stream || stream->start_time == AV_NOPTS_VALUE)
            continue;
        const int64_t start = av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
        if (origin == AV_NOPTS_VALUE || start < origin)
            origin = start;
    }
    // A stream that starts before zero (an edit list may put the first
    // pictures there) keeps zero as the origin: what lies before it is cut.
    if (origin == AV_NOPTS_VALUE || origin <= 0)
        return 0;
    return origin;
}

void start_input_clock(SourceStage& s) {
    s.clock.may_jump = (s.input.fmt_ctx->iformat->flags & AVFMT_TS_DISCONT) != 0;
    s.clock.shift = 0;
    s.clock.next_dts.assign(s.input.fmt_ctx->nb_streams, AV_NOPTS_VALUE);
}

void steady_packet_timestamps(SourceStage& s, AVPacket* pkt) {
    InputClock& clock = s.clock;
    if (pkt->stream_index < 0 || static_cast<std::size_t>(pkt->stream_index) >= clock.next_dts.size())
        return;
    const AVRational time_base = s.input.fmt_ctx->streams[pkt->stream_index]->time_base;
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

bool fill_may_reach(const SourceStage& s, int64_t until) {
    int64_t placed = 0;
    if (s.timeline.last_pts != AV_NOPTS_VALUE)
        placed = av_rescale_q(s.timeline.last_pts + 1, s.picture_time_base, AV_TIME_BASE_Q);
    const AudioTimeline& audio = s.audio_timeline;
    if (audio.run_rate > 0) {
        const int64_t audio_placed =
            av_rescale_q(audio.run_start, s.audio_in()->time_base, AV_TIME_BASE_Q) +
            av_rescale(audio.run_samples, AV_TIME_BASE, audio.run_rate);
        placed = std::max(placed, audio_placed);
    }
    return until <= placed + MAX_FILL;
}
