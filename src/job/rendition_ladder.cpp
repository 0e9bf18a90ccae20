#include "job/rendition_ladder.h"

#include <algorithm>
#include <array>
#include <cstdint>

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

namespace {

// The even number nearest to numerator / denominator, at least 2.
int32_t nearest_even(int64_t numerator, int64_t denominator) {
    const int64_t halves = (numerator + denominator) / (2 * denominator);
    return static_cast<int32_t>(std::max<int64_t>(2, 2 * halves));
}

} // namespace

FrameSize displayed_size(int32_t coded_width, int32_t coded_height, int sar_num, int sar_den,
                         bool swaps_sides) {
    int32_t width = coded_width;
    if (sar_num > 0 && sar_den > 0 && sar_num != sar_den) {
        const int64_t widened = (int64_t{coded_width} * sar_num + sar_den / 2) / sar_den;
        width = static_cast<int32_t>(std::clamp<int64_t>(widened, 1, INT32_MAX));
    }
    if (swaps_sides)
        return {coded_height, width};
    return {width, coded_height};
}

FittedFrame fitted_frame_size(const RenditionRung& rung, FrameSize displayed) {
    const FrameSize box = rendition_frame_size(rung, displayed.width, displayed.height);
    // A picture whose size the probe could not learn (its decoder refused
    // it) has nothing to fit or compare: the row's frame stands, and the
    // decoder says what is wrong.
    if (displayed.width <= 0 || displayed.height <= 0)
        return {box, false};
    const int64_t width = displayed.width;
    const int64_t height = displayed.height;
    // Compared without division: which side of the box the picture meets first.
    if (width * box.height <= height * box.width)
        return {{nearest_even(width * box.height, height), box.height}, box.height > height};
    return {{box.width, nearest_even(height * box.width, width)}, box.width > width};
}

FrameSize source_frame_size(FrameSize displayed) {
    return {std::max<int32_t>(2, displayed.width & ~1), std::max<int32_t>(2, displayed.height & ~1)};
}
