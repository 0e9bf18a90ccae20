// The source thread from start to end: set up, read loop, end of stream.
#include "source/source_stage.h"

#include <algorithm>
#include <exception>
#include <string>

namespace {

// One second of pictures.
constexpr int64_t MAX_PICTURES_BEHIND = 30;

// Demuxes the whole input, handing each packet to its branch. Packets of any
// other stream (subtitles, data, further tracks) are dropped unread; those of
// a stream this run does not decode only say how far that stream reaches.
StepStatus read_input(SourceStage& s, FanOut& out, const JobControl& control) {
    AVPacket* pkt = s.read_pkt.get();
    for (;;) {
        if (control.cancelled.load())
            return step_failed("cancelled", AVERROR_EXIT);
        // With every rendition gone there is nobody left to read for.
        if (!anyone_listening(out))
            return step_failed("no rendition left", AVERROR_EXIT);
        const int ret = av_read_frame(s.input.fmt_ctx.get(), pkt);
        if (ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not read input", ret);
        StepStatus status;
        const bool video = pkt->stream_index == s.input.video_index;
        const bool sound = std::find(s.audio_streams.begin(), s.audio_streams.end(),
                                     pkt->stream_index) != s.audio_streams.end();
        if (video || sound)
            steady_packet_timestamps(s.clock, *s.input.fmt_ctx, pkt);
        SoundBranch* branch = sound ? s.branch_of(pkt->stream_index) : nullptr;
        if (video && s.wants_pictures)
            status = decode_video(s, out, pkt);
        else if (branch)
            status = decode_audio(s, *branch, out, pkt);
        else if (video || sound)
            note_undecoded_packet(s, pkt);
        av_packet_unref(pkt);
        if (status.failed())
            return status;
        if (window_complete(s))
            return step_ok();
    }
}

StepStatus finish_sound(SourceStage& s, FanOut& out) {
    for (SoundBranch& branch : s.sound) {
        const StepStatus status = finish_audio(s, branch, out);
        if (status.failed())
            return status;
    }
    return step_ok();
}

// Video first, completely, then audio, as each rendition writes them.
StepStatus finish_stream(SourceStage& s, FanOut& out) {
    if (!s.wants_pictures) {
        deliver_video_end(out);
        return finish_sound(s, out);
    }
    StepStatus status = decode_video(s, out, nullptr);
    if (status.failed())
        return status;
    deliver_video_end(out);
    status = finish_sound(s, out);
    if (status.failed())
        return status;
    // An input whose pictures all failed to decode (broken, or larger than the
    // decoder accepts) would otherwise leave playable-looking variants with no
    // picture in them.
    if (s.timeline.last_pts == AV_NOPTS_VALUE)
        return step_failed("no picture could be decoded from the input", AVERROR_INVALIDDATA);
    // A clock that goes back where the format does not allow jumps cannot be
    // followed: the pictures behind it would be missing from a variant that
    // claims to be whole. A stray picture or two is a glitch, not content.
    if (s.timeline.dropped_behind > MAX_PICTURES_BEHIND)
        return step_failed("the input's video timestamps go back", AVERROR_INVALIDDATA);
    return step_ok();
}

StepStatus run_source(SourceStage& s, FanOut& out, JobControl& control) {
    StepStatus status = set_up_source(s, out, control.log);
    if (!status.failed() && s.first_tick > 0)
        status = seek_to_window(s);
    if (!status.failed())
        status = read_input(s, out, control);
    if (!status.failed())
        status = finish_stream(s, out);
    return status;
}

} // namespace

StepStatus seek_to_window(SourceStage& s) {
    // A container without an index (MPEG-TS) lands anywhere by time, often
    // long after the key picture before it: the plan's scan says where one is.
    if (s.seek_position >= 0) {
        const int ret = avformat_seek_file(s.input.fmt_ctx.get(), -1, s.seek_position,
                                           s.seek_position, s.seek_position, AVSEEK_FLAG_BYTE);
        if (ret < 0)
            return step_failed("could not seek to the chunk's start", ret);
        return step_ok();
    }
    // A second early: demuxers that seek by decoding time land on a keyframe
    // whose pictures may be shown a little later than the one asked for.
    const int64_t target_us =
        av_rescale_q(s.first_tick, s.picture_time_base, AV_TIME_BASE_Q) - AV_TIME_BASE;
    const AVRational time_base = s.video_in()->time_base;
    const int64_t target =
        s.timeline.origin + av_rescale_q(target_us, AV_TIME_BASE_Q, time_base);
    const int ret = avformat_seek_file(s.input.fmt_ctx.get(), s.input.video_index, INT64_MIN,
                                       target, target, 0);
    if (ret < 0)
        return step_failed("could not seek to the chunk's start", ret);
    return step_ok();
}

bool window_complete(const SourceStage& s) {
    return s.end_tick >= 0 && s.timeline.last_pts != AV_NOPTS_VALUE &&
           s.timeline.last_pts >= s.end_tick - 1;
}

void run_source_stage(SourceStage& source, FanOut& out, JobControl& control) noexcept {
    std::string why;
    try {
        const StepStatus status = run_source(source, out, control);
        if (!status.failed()) {
            close_all(out);
            return;
        }
        why = failure_text(status);
    } catch (const std::exception& error) {
        // Building the reason may fail too; the renditions then end without one.
        try {
            why = error.what();
        } catch (...) {
        }
    } catch (...) {
        why = "unknown exception";
    }
    abort_all(out, why);
}
