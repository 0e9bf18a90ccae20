// The colour conversion's arithmetic, done once per job: the curves into
// tables, the matrices multiplied out.
#include "source/colour_table.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

using Rgb = std::array<double, 3>;
using Matrix = std::array<Rgb, 3>;

// The tone curve's knee, relative to reference white: light below it is
// left as it is, light above it shares what is left up to SDR's peak.
constexpr double KNEE = 0.8;
// HLG's system gamma on its nominal display (ITU-R BT.2100).
constexpr double HLG_SYSTEM_GAMMA = 1.2;
// SDR as displays show it (ITU-R BT.1886, black at zero).
constexpr double SDR_GAMMA = 2.4;

struct Chromaticities {
    double rx, ry, gx, gy, bx, by;
};
constexpr double WHITE_X = 0.3127; // D65: every set below is taken with it
constexpr double WHITE_Y = 0.3290;

Chromaticities chromaticities_of(AVColorPrimaries primaries) {
    switch (primaries) {
    case AVCOL_PRI_BT470BG:
        return {0.64, 0.33, 0.29, 0.60, 0.15, 0.06};
    case AVCOL_PRI_SMPTE170M:
    case AVCOL_PRI_SMPTE240M:
        return {0.630, 0.340, 0.310, 0.595, 0.155, 0.070};
    case AVCOL_PRI_BT470M:
        return {0.67, 0.33, 0.21, 0.71, 0.14, 0.08};
    case AVCOL_PRI_FILM:
        return {0.681, 0.319, 0.243, 0.692, 0.145, 0.049};
    case AVCOL_PRI_BT2020:
        return {0.708, 0.292, 0.170, 0.797, 0.131, 0.046};
    case AVCOL_PRI_SMPTE431:
    case AVCOL_PRI_SMPTE432:
        return {0.680, 0.320, 0.265, 0.690, 0.150, 0.060};
    default:
        return {0.64, 0.33, 0.30, 0.60, 0.15, 0.06}; // BT.709
    }
}

Rgb times(const Matrix& m, const Rgb& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
            m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Matrix times(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                m[i][j] += a[i][k] * b[k][j];
    return m;
}

Matrix inverse(const Matrix& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Matrix r{};
    r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
    r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
    r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
    r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
    r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
    r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
    r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
    r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
    r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
    return r;
}

// Linear RGB of these primaries to CIE XYZ.
Matrix rgb_to_xyz(const Chromaticities& c) {
    const Matrix primaries{{{c.rx / c.ry, c.gx / c.gy, c.bx / c.by},
                            {1.0, 1.0, 1.0},
                            {(1 - c.rx - c.ry) / c.ry, (1 - c.gx - c.gy) / c.gy,
                             (1 - c.bx - c.by) / c.by}}};
    const Rgb white{WHITE_X / WHITE_Y, 1.0, (1 - WHITE_X - WHITE_Y) / WHITE_Y};
    const Rgb scale = times(inverse(primaries), white);
    Matrix m = primaries;
    for (auto& row : m)
        for (int k = 0; k < 3; ++k)
            row[k] *= scale[k];
    return m;
}

// Kr and Kb of a Y'CbCr matrix.
std::array<double, 2> luma_weights(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_FCC:
        return {0.30, 0.11};
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return {0.299, 0.114};
    case AVCOL_SPC_SMPTE240M:
        return {0.212, 0.087};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return {0.2627, 0.0593};
    default:
        return {0.2126, 0.0722}; // BT.709
    }
}

// The content's peak relative to reference white: a PQ source's from its
// metadata, clamped to what PQ can hold; HLG's nominal display's.
double relative_peak(const ColourDescription& colour) {
    if (colour.transfer == Transfer::pq && colour.peak_nits > 0)
        return std::clamp(colour.peak_nits, REFERENCE_WHITE_NITS, 10000.0) / REFERENCE_WHITE_NITS;
    return NOMINAL_HDR_PEAK_NITS / REFERENCE_WHITE_NITS;
}

double hlg_to_scene(double code) {
    constexpr double A = 0.17883277;
    constexpr double B = 1 - 4 * A;
    const double C = 0.5 - A * std::log(4 * A);
    return code <= 0.5 ? code * code / 3 : (std::exp((code - C) / A) + B) / 12;
}

// SDR code value to light, as displays show it.
double sdr_to_light(AVColorTransferCharacteristic transfer, double v) {
    switch (transfer) {
    case AVCOL_TRC_LINEAR:
        return v;
    case AVCOL_TRC_GAMMA22:
        return std::pow(v, 2.2);
    case AVCOL_TRC_GAMMA28:
        return std::pow(v, 2.8);
    case AVCOL_TRC_IEC61966_2_1:
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    default:
        return std::pow(v, SDR_GAMMA);
    }
}

// Displayed light relative to reference white.
double to_light(const ColourDescription& colour, double code) {
    switch (colour.transfer) {
    case Transfer::pq:
        return pq_to_nits(code) / REFERENCE_WHITE_NITS;
    case Transfer::hlg:
        // HLG codes scene light; its nominal display raises it to the system
        // gamma. Channel by channel, as an SDR camera's chain raises its own
        // (its OETF against the display's gamma of 2.4): HLG shown on SDR then
        // looks as an SDR camera would have shot it (the "scene light"
        // conversion of ITU-R BT.2408), rather than with its colours paled
        // by a gamma applied to the luminance alone.
        return NOMINAL_HDR_PEAK_NITS * std::pow(hlg_to_scene(code), HLG_SYSTEM_GAMMA) /
               REFERENCE_WHITE_NITS;
    case Transfer::sdr:
        break;
    }
    return sdr_to_light(colour.transfer_characteristic, code);
}

template <typename F> RootTable root_table(double top, F f) {
    RootTable table;
    table.index_scale = static_cast<float>((RootTable::STEPS - 1) / std::sqrt(top));
    table.values.resize(RootTable::STEPS);
    for (int k = 0; k < RootTable::STEPS; ++k) {
        const double root = double(k) / (RootTable::STEPS - 1);
        table.values[static_cast<std::size_t>(k)] = static_cast<float>(f(root * root * top));
    }
    return table;
}

void set_input(ColourTransform& t, const ColourDescription& colour, int bit_depth) {
    const double unit = std::ldexp(1.0, bit_depth - 8);
    const bool full = colour.range == AVCOL_RANGE_JPEG;
    const double max = std::ldexp(1.0, bit_depth) - 1;
    // Y' = y_scale * code + luma_offset; Cb, Cr = chroma_scale * code + chroma_offset.
    const double y_scale = full ? 1 / max : 1 / (219 * unit);
    const double luma_offset = full ? 0 : -16.0 / 219;
    const double chroma_scale = full ? 1 / max : 1 / (224 * unit);
    const double chroma_offset = full ? -std::ldexp(1.0, bit_depth - 1) / max : -128.0 / 224;
    t.rgb = colour.rgb;
    t.y_scale = static_cast<float>(y_scale);
    if (colour.rgb) {
        t.r_offset = t.g_offset = t.b_offset = static_cast<float>(luma_offset);
        return;
    }
    const auto [kr, kb] = luma_weights(colour.matrix);
    const double kg = 1 - kr - kb;
    const double r_cr = 2 * (1 - kr);
    const double b_cb = 2 * (1 - kb);
    const double g_cb = -b_cb * kb / kg;
    const double g_cr = -r_cr * kr / kg;
    t.r_cr = static_cast<float>(r_cr * chroma_scale);
    t.b_cb = static_cast<float>(b_cb * chroma_scale);
    t.g_cb = static_cast<float>(g_cb * chroma_scale);
    t.g_cr = static_cast<float>(g_cr * chroma_scale);
    t.r_offset = static_cast<float>(luma_offset + r_cr * chroma_offset);
    t.b_offset = static_cast<float>(luma_offset + b_cb * chroma_offset);
    t.g_offset = static_cast<float>(luma_offset + (g_cb + g_cr) * chroma_offset);
}

} // namespace

double pq_to_nits(double code) {
    constexpr double M1 = 2610.0 / 16384;
    constexpr double M2 = 2523.0 / 4096 * 128;
    constexpr double C1 = 3424.0 / 4096;
    constexpr double C2 = 2413.0 / 4096 * 32;
    constexpr double C3 = 2392.0 / 4096 * 32;
    const double p = std::pow(std::max(code, 0.0), 1 / M2);
    return 10000 * std::pow(std::max(p - C1, 0.0) / (C2 - C3 * p), 1 / M1);
}

double nits_to_pq(double nits) {
    constexpr double M1 = 2610.0 / 16384;
    constexpr double M2 = 2523.0 / 4096 * 128;
    constexpr double C1 = 3424.0 / 4096;
    constexpr double C2 = 2413.0 / 4096 * 32;
    constexpr double C3 = 2392.0 / 4096 * 32;
    const double y = std::pow(std::max(nits, 0.0) / 10000, M1);
    return std::pow((C1 + C2 * y) / (1 + C3 * y), M2);
}

double tone_map(double light, double peak) {
    if (light <= KNEE || peak <= 1)
        return std::min(light, 1.0);
    if (light >= peak)
        return 1;
    // A rational shoulder from the knee to the peak: it leaves the knee with
    // the slope 1 it arrives with, and bends so that the peak lands on 1.
    const double t = (light - KNEE) / (peak - KNEE);
    const double slope = (peak - KNEE) / (1 - KNEE);
    return KNEE + (1 - KNEE) * slope * t / (1 + (slope - 1) * t);
}

ColourTransform build_colour_transform(const ColourDescription& colour, int bit_depth) {
    ColourTransform t;
    set_input(t, colour, bit_depth);
    t.to_light.resize(ColourTransform::TRANSFER_STEPS);
    for (int k = 0; k < ColourTransform::TRANSFER_STEPS; ++k)
        t.to_light[static_cast<std::size_t>(k)] =
            static_cast<float>(to_light(colour, double(k) / (ColourTransform::TRANSFER_STEPS - 1)));

    const Matrix source = rgb_to_xyz(chromaticities_of(colour.primaries));
    const Matrix to_bt709 = times(inverse(rgb_to_xyz(chromaticities_of(AVCOL_PRI_BT709))), source);
    for (int i = 0; i < 3; ++i) {
        t.luminance[static_cast<std::size_t>(i)] = static_cast<float>(source[1][static_cast<std::size_t>(i)]);
        for (int j = 0; j < 3; ++j)
            t.to_bt709[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] =
                static_cast<float>(to_bt709[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)]);
    }

    t.through_light = colour.transfer != Transfer::sdr || colour.primaries != AVCOL_PRI_BT709;
    t.hdr = colour.transfer != Transfer::sdr;
    if (t.hdr) {
        // Tone-mapped on the luminance, every channel by the same factor, so
        // that hue and saturation stay.
        const double peak = relative_peak(colour);
        t.gain = root_table(peak, [peak](double luma) {
            return luma > 0 ? tone_map(luma, peak) / luma : 1.0;
        });
    }
    t.to_code = root_table(1.0, [](double light) { return std::pow(light, 1 / SDR_GAMMA); });
    return t;
}
