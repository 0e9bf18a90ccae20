// What a split job's plan needs to know of a title before any work: whether
// it can be split safely, its output clock and its length.
#pragma once

#include <cstdint>
#include <string>

#include "pipeline/encode_profile.h"
#include "pipeline/picture_clock.h"

struct SplitProbe {
    // Why the title is encoded whole, or empty when it can be split.
    std::string unsplittable;
    PictureClock clock;
    int64_t duration_us = -1;
};

SplitProbe probe_for_split(const std::string& input, const EncodeProfile& profile);
