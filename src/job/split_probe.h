// What a split job's plan learns of a title before any work: whether it can
// be split safely, its length, and the title's facts every part then takes.
#pragma once

#include <cstdint>
#include <string>

#include "pipeline/encode_profile.h"
#include "pipeline/title.h"

struct SplitProbe {
    // Why the title is encoded whole, or empty when it can be split.
    std::string unsplittable;
    Title title;
    int64_t duration_us = -1;
};

// Reads the whole title's packets once where its container's clock may jump
// (MPEG-TS), to find out whether it does; decodes its first picture where
// the colours may still need it.
SplitProbe probe_for_split(const std::string& input, const EncodeProfile& profile);
