#include "job/split_probe.h"

#include <memory>

#include "job/output_frame_rate.h"
#include "source/source_input.h"

SplitProbe probe_for_split(const std::string& input, const EncodeProfile& profile) {
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
    probe.clock = choose_picture_clock(profile, *source->video_stream());
    probe.duration_us = fmt_ctx.duration > 0 ? fmt_ctx.duration : -1;
    // A format whose clock may jump (MPEG-TS and its kin) is re-anchored as it
    // is read from the start; a chunk that seeks into it cannot know where.
    if (fmt_ctx.iformat->flags & AVFMT_TS_DISCONT)
        probe.unsplittable = "its container's clock may jump (" +
                             std::string(fmt_ctx.iformat->name) + "), so chunks cannot seek into it";
    else if (!fmt_ctx.pb || !(fmt_ctx.pb->seekable & AVIO_SEEKABLE_NORMAL))
        probe.unsplittable = "the input cannot seek";
    else if (probe.duration_us < 0)
        probe.unsplittable = "the input states no duration";
    return probe;
}
