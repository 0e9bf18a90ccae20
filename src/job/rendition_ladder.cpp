#include "job/rendition_ladder.h"

#include <array>

namespace {

// Every side is even: YUV 4:2:0 needs both dimensions divisible by two.
constexpr std::array<RenditionRung, 4> LADDER{{
    {"1080p", 1920, 1080, 5000000},
    {"720p", 1280, 720, 2500000},
    {"480p", 854, 480, 1000000},
    {"360p", 640, 360, 400000},
}};

} // namespace

const std::array<RenditionRung, 4>& rendition_ladder() {
    return LADDER;
}

const RenditionRung* find_rendition(const std::string& name) {
    for (const RenditionRung& rung : LADDER)
        if (name == rung.name)
            return &rung;
    return nullptr;
}

FrameSize rendition_frame_size(const RenditionRung& rung, int32_t source_width,
                               int32_t source_height) {
    if (source_width < source_height)
        return {rung.short_side, rung.long_side};
    return {rung.long_side, rung.short_side};
}
