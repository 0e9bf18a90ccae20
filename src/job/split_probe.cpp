#include "job/split_probe.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "job/title_probe.h"
#include "source/source_colour.h"
#include "source/source_stage.h"

namespace {

// A PQ title whose container carries no HDR metadata may carry it in its
// pictures (an HEVC stream's SEI): the whole title's job reads it from its
// first picture, so the plan does too.
void take_first_picture_metadata(const std::string& path, ColourDescription& colour) {
    if (colour.transfer != Transfer::pq || colour.peak_nits > 0)
        return;
    JobControl control;
    auto opened = std::make_unique<SourceInput>();
    if (open_source_input(path, *opened, control) != ProbeResult::ok)
        return;
    SourceInput& input = *opened;
    CodecContextPtr dec_ctx(avcodec_alloc_context3(input.video_decoder));
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!dec_ctx || !pkt || !frame ||
        avcodec_parameters_to_context(dec_ctx.get(), input.video_stream()->codecpar) < 0)
        return;
    dec_ctx->max_pixels = MAX_INPUT_PIXELS;
    if (avcodec_open2(dec_ctx.get(), input.video_decoder, nullptr) < 0)
        return;
    // A few seconds of packets at most: the first picture comes with its
    // first keyframe.
    for (int read = 0; read < 1000 && av_read_frame(input.fmt_ctx.get(), pkt.get()) >= 0; ++read) {
        const bool video = pkt->stream_index == input.video_index;
        const int sent = video ? avcodec_send_packet(dec_ctx.get(), pkt.get()) : -1;
        av_packet_unref(pkt.get());
        if (sent >= 0 && avcodec_receive_frame(dec_ctx.get(), frame.get()) >= 0) {
            take_picture_metadata(colour, *frame);
            return;
        }
    }
}

// Reads the input from its start, as the source stage would: where the
// container's clock first jumps (back, or ahead by more than ten seconds), in
// seconds of the title, or -1 when it never does; and every key picture.
double scan_packets(SourceInput& input, const Title& title, std::vector<KeyPicture>& key_pictures) {
    AVFormatContext& fmt_ctx = *input.fmt_ctx;
    InputClock clock;
    start_input_clock(clock, fmt_ctx);
    PacketPtr pkt(av_packet_alloc());
    if (!pkt)
        return 0;
    const AVRational tick = title.clock.time_base();
    while (av_read_frame(&fmt_ctx, pkt.get()) >= 0) {
        const bool video = pkt->stream_index == input.video_index;
        if (video || pkt->stream_index == input.audio_index)
            steady_packet_timestamps(clock, fmt_ctx, pkt.get());
        const AVRational time_base = fmt_ctx.streams[pkt->stream_index]->time_base;
        const int64_t us = pkt->dts == AV_NOPTS_VALUE
                               ? AV_NOPTS_VALUE
                               : av_rescale_q(pkt->dts, time_base, AV_TIME_BASE_Q) - title.origin_us;
        if (video && (pkt->flags & AV_PKT_FLAG_KEY) && pkt->pos >= 0 && pkt->pts != AV_NOPTS_VALUE)
            key_pictures.push_back(
                {av_rescale_q(av_rescale_q(pkt->pts, time_base, AV_TIME_BASE_Q) - title.origin_us,
                              AV_TIME_BASE_Q, tick),
                 pkt->pos});
        av_packet_unref(pkt.get());
        if (clock.jumps > 0)
            return us == AV_NOPTS_VALUE ? 0 : double(us) / AV_TIME_BASE;
    }
    return -1;
}

} // namespace

SplitProbe probe_for_split(const std::string& input, const EncodeProfile& profile,
                           const std::vector<Sidecar>& subtitles) {
    SplitProbe probe;
    JobControl control;
    // The context's callbacks hold the input's address.
    auto source = std::make_unique<SourceInput>();
    const ProbeResult opened = open_source_input(input, *source, control);
    if (opened != ProbeResult::ok) {
        // The whole-title path reports why, with its own words.
        probe.unsplittable = "the input cannot be probed";
        return probe;
    }
    const AVFormatContext& fmt_ctx = *source->fmt_ctx;
    probe.title = describe_title(*source, profile, subtitles);
    take_first_picture_metadata(input, probe.title.colour);
    const AVStream& video = *source->video_stream();
    if (video.start_time != AV_NOPTS_VALUE) {
        const int64_t origin = av_rescale_q(probe.title.origin_us, AV_TIME_BASE_Q, video.time_base);
        probe.first_picture_tick =
            std::max<int64_t>(0, nearest_tick(video.start_time - origin, video.time_base,
                                              probe.title.clock.time_base(),
                                              profile.source_frame_rate));
    }
    probe.duration_us = fmt_ctx.duration > 0 ? fmt_ctx.duration : -1;
    if (!fmt_ctx.pb || !(fmt_ctx.pb->seekable & AVIO_SEEKABLE_NORMAL)) {
        probe.unsplittable = "the input cannot seek";
    } else if (probe.duration_us < 0) {
        probe.unsplittable = "the input states no duration";
    } else if (fmt_ctx.iformat->flags & AVFMT_TS_DISCONT) {
        // A clock that jumps is re-anchored as the title is read from its
        // start; a chunk that seeks into it cannot know where.
        const double jump = scan_packets(*source, probe.title, probe.key_pictures);
        if (jump >= 0) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "its container's clock (%s) jumps %.1f s into the title, so chunks "
                          "cannot seek into it",
                          fmt_ctx.iformat->name, jump);
            probe.unsplittable = text;
        }
    }
    return probe;
}
