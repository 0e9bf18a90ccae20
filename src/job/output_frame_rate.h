// The output's frame rate, keyframe interval and segment duration, chosen from
// the input's video stream.
#pragma once

#include "pipeline/encode_profile.h"
#include "pipeline/picture_clock.h"

extern "C" {
#include <libavformat/avformat.h>
}

// The specified 30 fps clock, or, for a profile that keeps the source's rate:
// the source's own rate when it is 30 or less, halved (until it is) above 30,
// and for a variable or unknown rate the standard rate nearest its average.
// A keyframe every 2 s (the nearest whole number of pictures), a segment
// every three keyframe intervals.
PictureClock choose_picture_clock(const EncodeProfile& profile, const AVStream& video);

// The clock of a profile that keeps the source's rate, at `frame_rate` (one
// choose_picture_clock gave): what a split job's plan hands its parts.
PictureClock clock_at_rate(AVRational frame_rate);
