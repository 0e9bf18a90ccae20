#include "job/title_probe.h"

#include "job/output_frame_rate.h"
#include "source/source_colour.h"

namespace {

// The earlier start of the video and the sound, so that both keep the offset
// they have in the input. A stream that starts before zero (an edit list may
// put the first pictures there) keeps zero as the origin: what lies before it
// is cut.
int64_t title_origin(const SourceInput& input) {
    int64_t origin = AV_NOPTS_VALUE;
    for (const AVStream* stream : {input.video_stream(), input.audio_stream()}) {
        if (!stream || stream->start_time == AV_NOPTS_VALUE)
            continue;
        const int64_t start = av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
        if (origin == AV_NOPTS_VALUE || start < origin)
            origin = start;
    }
    if (origin == AV_NOPTS_VALUE || origin <= 0)
        return 0;
    return origin;
}

} // namespace

Title describe_title(const SourceInput& input, const EncodeProfile& profile) {
    Title title;
    title.origin_us = title_origin(input);
    title.clock = choose_picture_clock(profile, *input.video_stream());
    if (profile.sdr_bt709)
        title.colour = describe_colour(*input.video_stream());
    return title;
}
