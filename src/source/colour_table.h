// The colour conversion of a job, worked out once: input code values to
// light, HDR light tone-mapped to SDR light, the source's primaries to
// BT.709's, and light back to BT.709 SDR code values. What is a curve is a
// one-dimensional table; what is linear is a matrix. Each picture then costs
// a handful of multiplications and lookups per pixel, computed exactly
// rather than interpolated: near a primary's saturation (a channel near
// zero) the SDR transfer curve magnifies any interpolation error many times.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "source/source_colour.h"

// HDR reference white (ITU-R BT.2408): what SDR shows as its white.
constexpr double REFERENCE_WHITE_NITS = 203.0;
// The peak an HLG display is assumed to have, and a PQ source's when its
// metadata says nothing (the mastering displays most content is graded on).
constexpr double NOMINAL_HDR_PEAK_NITS = 1000.0;

// A curve on 0..top as a table indexed by the square root of the value:
// its steps are finest near zero, where the curves it holds are steepest
// (an SDR code value against its light). Looked up in two passes, the
// indexes of a row first (which vectorises), then the values.
struct RootTable {
    static constexpr int STEPS = 4096;
    float index_scale = 0; // (STEPS - 1) / sqrt(top)
    std::vector<float> values;

    int index(float x) const {
        const float at = std::sqrt(std::max(x, 0.0f)) * index_scale + 0.5f;
        return static_cast<int>(std::min(at, float(STEPS - 1)));
    }
};

struct ColourTransform {
    // Input: code values to R'G'B' in 0..1 (before clamping):
    // r = y_scale * Y + r_cr * Cr + r_offset, and so on; for RGB pictures
    // (planes G, B, R) the plane values scaled by y_scale.
    bool rgb = false;
    float y_scale = 0;
    float r_cr = 0, g_cb = 0, g_cr = 0, b_cb = 0;
    float r_offset = 0, g_offset = 0, b_offset = 0;
    // Whether the colours need light at all: an SDR source with BT.709's
    // primaries differs only in matrix, range or depth, which R'G'B' carries
    // over as it is.
    bool through_light = false;
    // R'G'B' (quantised to 12 bits) to displayed light relative to
    // reference white.
    static constexpr int TRANSFER_STEPS = 4096;
    std::vector<float> to_light;
    // HDR: the factor the tone curve scales every channel of a pixel by,
    // from its luminance.
    bool hdr = false;
    std::array<float, 3> luminance{}; // of the source primaries' light
    RootTable gain;
    // Source primaries' light to BT.709's.
    std::array<std::array<float, 3>, 3> to_bt709{};
    // BT.709 light (0..1) to its SDR code value (0..1).
    RootTable to_code;
};

// The transform for input pictures of `bit_depth` bits per sample described
// by `colour`.
ColourTransform build_colour_transform(const ColourDescription& colour, int bit_depth);

// The tone curve, on light relative to reference white: unchanged up to a
// knee below white, then compressed smoothly so that `peak` (the content's
// brightest light, relative to reference white) reaches SDR's peak of 1.
// Strictly increasing up to `peak`; 1 beyond.
double tone_map(double light, double peak);

// The light in cd/m² of a PQ code value, and back.
double pq_to_nits(double code);
double nits_to_pq(double nits);
