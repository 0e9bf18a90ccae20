// What a split job's plan learns of a title before any work: whether it can
// be split safely, its length, and the title's facts every part then takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/encode_profile.h"
#include "pipeline/title.h"

// A key picture of a title whose container has no index to seek by
// (MPEG-TS): where a chunk's part can start reading.
struct KeyPicture {
    int64_t tick;     // on the output grid, from the title's origin
    int64_t position; // the byte its packet starts at
};

struct SplitProbe {
    // Why the title is encoded whole, or empty when it can be split.
    std::string unsplittable;
    Title title;
    int64_t duration_us = -1;
    // The tick the first picture is shown at: where the whole-title encode's
    // first keyframe, and so its segments, start.
    int64_t first_picture_tick = 0;
    // Every key picture of a title read to its end (MPEG-TS); empty where the
    // container's index finds them.
    std::vector<KeyPicture> key_pictures;
};

// Reads the whole title's packets once where its container's clock may jump
// (MPEG-TS), to find out whether it does and where its key pictures are;
// decodes its first picture where the colours may still need it.
SplitProbe probe_for_split(const std::string& input, const EncodeProfile& profile,
                           const std::vector<Sidecar>& subtitles);
