// The colour conversion of each decoded picture: a scaler brings pictures
// the transform cannot read (packed, semi-planar) into a planar format, and
// large ones down to the working size; then each pixel goes through the
// job's transform into 8-bit 4:2:0 BT.709 SDR, ordered-dithered so that 10
// and 12-bit gradients keep no bands.
#include <algorithm>
#include <array>

#include "pipeline/output_colour.h"
#include "source/source_stage.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr const char* STEP = "could not convert a picture's colours";

// A 16x16 ordered dither, thresholds 0 to 255: added to an 8.8 code before
// its fraction is dropped, it spreads the fraction over neighbouring pixels.
using DitherMatrix = std::array<std::array<uint16_t, 16>, 16>;

const DitherMatrix& dither_matrix() {
    static const DitherMatrix matrix = [] {
        DitherMatrix m{};
        // Bayer's recursion: each step quadruples the matrix.
        for (int size = 1; size < 16; size *= 2)
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x) {
                    const uint16_t v = static_cast<uint16_t>(4 * m[y][x]);
                    m[y][x] = v;
                    m[y][x + size] = static_cast<uint16_t>(v + 2);
                    m[y + size][x] = static_cast<uint16_t>(v + 3);
                    m[y + size][x + size] = static_cast<uint16_t>(v + 1);
                }
        return m;
    }();
    return matrix;
}

template <typename Sample> inline const Sample* row(const AVFrame& frame, int plane, int y) {
    return reinterpret_cast<const Sample*>(frame.data[plane] + std::ptrdiff_t{y} * frame.linesize[plane]);
}

// Written so that the compiler turns them, and the loops below, into vector
// instructions: no branches, no references.
inline float smaller(float a, float b) {
    return a < b ? a : b;
}
inline float larger(float a, float b) {
    return a > b ? a : b;
}

// The row buffers of a pair of rows: `count` pixels of each channel.
struct Rows {
    float* __restrict r;
    float* __restrict g;
    float* __restrict b;
    float* __restrict gain;
    float* __restrict parts; // a chroma row's part of each channel
    int* __restrict steps;
    int count;
};

// Code values (Y', Cb, Cr, or G', B', R') to R'G'B' 0..1, each pixel with the
// chroma sample over it: what the chroma sample adds to each channel first,
// once for both rows, then each pixel's luma. A damaged stream's samples may
// carry bits above the depth: masked off, they never read outside a table.
template <typename Sample, int CW, int CH, bool RGB>
void load_rows(const ColourTransform& t, const AVFrame& in, const int (&ys)[2], unsigned max_code,
               const Rows& rows) {
    const int width = in.width;
    const int chroma_width = (width + (1 << CW) - 1) >> CW;
    float* __restrict part_r = rows.parts;
    float* __restrict part_g = rows.parts + chroma_width;
    float* __restrict part_b = rows.parts + 2 * chroma_width;
    for (int k = 0; k < 2; ++k) {
        // The second row of a 4:2:0 pair has the first one's chroma row.
        if (k == 0 || (ys[1] >> CH) != (ys[0] >> CH)) {
            const Sample* __restrict in_cb = row<Sample>(in, 1, ys[k] >> CH);
            const Sample* __restrict in_cr = row<Sample>(in, 2, ys[k] >> CH);
            for (int cx = 0; cx < chroma_width; ++cx) {
                const float cb = float(in_cb[cx] & max_code);
                const float cr = float(in_cr[cx] & max_code);
                part_r[cx] = RGB ? cr * t.y_scale + t.r_offset : t.r_cr * cr + t.r_offset;
                part_g[cx] = RGB ? t.g_offset : t.g_cb * cb + t.g_cr * cr + t.g_offset;
                part_b[cx] = RGB ? cb * t.y_scale + t.b_offset : t.b_cb * cb + t.b_offset;
            }
        }
        const Sample* __restrict in_y = row<Sample>(in, 0, ys[k]);
        float* __restrict r = rows.r + k * width;
        float* __restrict g = rows.g + k * width;
        float* __restrict b = rows.b + k * width;
        const float y_scale = t.y_scale;
        if (CW == 1) {
            for (int cx = 0; cx < width / 2; ++cx) {
                for (int j = 0; j < 2; ++j) {
                    const float luma = RGB ? 0.0f : float(in_y[2 * cx + j] & max_code) * y_scale;
                    const float green = RGB ? float(in_y[2 * cx + j] & max_code) * y_scale : luma;
                    r[2 * cx + j] = luma + part_r[cx];
                    g[2 * cx + j] = green + part_g[cx];
                    b[2 * cx + j] = luma + part_b[cx];
                }
            }
            if (width & 1) {
                const float luma = float(in_y[width - 1] & max_code) * y_scale;
                r[width - 1] = (RGB ? 0.0f : luma) + part_r[width / 2];
                g[width - 1] = luma + part_g[width / 2];
                b[width - 1] = (RGB ? 0.0f : luma) + part_b[width / 2];
            }
        } else {
            for (int x = 0; x < width; ++x) {
                const float luma = float(in_y[x] & max_code) * y_scale;
                r[x] = (RGB ? 0.0f : luma) + part_r[x];
                g[x] = luma + part_g[x];
                b[x] = (RGB ? 0.0f : luma) + part_b[x];
            }
        }
    }
}

// One channel through a 12-bit transfer table.
void transfer(const std::vector<float>& table, float* __restrict channel, int* __restrict steps,
              int count) {
    constexpr float LAST = ColourTransform::TRANSFER_STEPS - 1;
    for (int i = 0; i < count; ++i)
        steps[i] = static_cast<int>(larger(smaller(channel[i], 1.0f), 0.0f) * LAST + 0.5f);
    const float* __restrict values = table.data();
    for (int i = 0; i < count; ++i)
        channel[i] = values[steps[i]];
}

void look_up(const RootTable& table, float* __restrict channel, int* __restrict steps, int count) {
    constexpr float LAST = RootTable::STEPS - 1;
    const float scale = table.index_scale;
    for (int i = 0; i < count; ++i)
        steps[i] = static_cast<int>(smaller(std::sqrt(larger(channel[i], 0.0f)) * scale + 0.5f, LAST));
    const float* __restrict values = table.values.data();
    for (int i = 0; i < count; ++i)
        channel[i] = values[steps[i]];
}

// HDR light tone-mapped: every channel of a pixel by the factor its
// luminance gets, so that hue and saturation stay.
void tone_map_rows(const ColourTransform& t, const Rows& rows) {
    const float kr = t.luminance[0], kg = t.luminance[1], kb = t.luminance[2];
    for (int i = 0; i < rows.count; ++i)
        rows.gain[i] = kr * rows.r[i] + kg * rows.g[i] + kb * rows.b[i];
    look_up(t.gain, rows.gain, rows.steps, rows.count);
    for (int i = 0; i < rows.count; ++i) {
        rows.r[i] *= rows.gain[i];
        rows.g[i] *= rows.gain[i];
        rows.b[i] *= rows.gain[i];
    }
}

// The source primaries' light as BT.709's. A colour BT.709 cannot show is
// moved toward the grey of its own luminance until it can, so that its hue
// stays what it was: `keep` is how much of its difference from that grey
// fits (each ratio is 1 or more when that side is inside already).
void into_bt709(const ColourTransform& t, const Rows& rows) {
    const auto& m = t.to_bt709;
    constexpr float TINY = 1e-9f;
    for (int i = 0; i < rows.count; ++i) {
        const float lr = rows.r[i], lg = rows.g[i], lb = rows.b[i];
        const float r = m[0][0] * lr + m[0][1] * lg + m[0][2] * lb;
        const float g = m[1][0] * lr + m[1][1] * lg + m[1][2] * lb;
        const float b = m[2][0] * lr + m[2][1] * lg + m[2][2] * lb;
        const float grey = larger(smaller(0.2126f * r + 0.7152f * g + 0.0722f * b, 1.0f), 0.0f);
        const float low = smaller(r, smaller(g, b));
        const float high = larger(r, larger(g, b));
        // min(1, a / b, c / d) with one division: b and d are positive.
        const float b_low = larger(grey - low, TINY);
        const float d_high = larger(high - grey, TINY);
        const float keep =
            smaller(1.0f, smaller(grey * d_high, (1 - grey) * b_low) / (b_low * d_high));
        rows.r[i] = grey + keep * (r - grey);
        rows.g[i] = grey + keep * (g - grey);
        rows.b[i] = grey + keep * (b - grey);
    }
}

inline uint8_t code_byte(float code) {
    return static_cast<uint8_t>(static_cast<int>(larger(smaller(code, 255.0f), 0.0f)));
}

// R'G'B' 0..1 as BT.709 Y'CbCr, 8-bit with limited range and dithered: each
// pixel's luma, and each 2x2 block's chroma from the mean of its pixels.
// `dither` holds 16 rows of thresholds (0 to 1), each longer than a row.
void store_rows(const Rows& rows, const std::vector<float>& dither, const int (&ys)[2], int cy,
                AVFrame& out) {
    const int width = rows.count / 2;
    const std::size_t dither_stride = dither.size() / 16;
    const auto thresholds = [&](int row_number) {
        return dither.data() + std::size_t(row_number & 15) * dither_stride;
    };
    for (int k = 0; k < 2; ++k) {
        const float* __restrict r = rows.r + k * width;
        const float* __restrict g = rows.g + k * width;
        const float* __restrict b = rows.b + k * width;
        const float* __restrict threshold = thresholds(ys[k]);
        uint8_t* __restrict out_y = out.data[0] + std::ptrdiff_t{ys[k]} * out.linesize[0];
        for (int x = 0; x < width; ++x)
            out_y[x] = code_byte(16 + 219 * (0.2126f * r[x] + 0.7152f * g[x] + 0.0722f * b[x]) +
                                 threshold[x]);
    }
    uint8_t* __restrict out_cb = out.data[1] + std::ptrdiff_t{cy} * out.linesize[1];
    uint8_t* __restrict out_cr = out.data[2] + std::ptrdiff_t{cy} * out.linesize[2];
    const float* __restrict cb_threshold = thresholds(cy);
    const float* __restrict cr_threshold = thresholds(cy + 8);
    const float* __restrict r = rows.r;
    const float* __restrict g = rows.g;
    const float* __restrict b = rows.b;
    const auto chroma = [&](int cx, int x0, int x1) {
        const float sr = r[x0] + r[x1] + r[width + x0] + r[width + x1];
        const float sg = g[x0] + g[x1] + g[width + x0] + g[width + x1];
        const float sb = b[x0] + b[x1] + b[width + x0] + b[width + x1];
        const float luma = 0.2126f * sr + 0.7152f * sg + 0.0722f * sb;
        out_cb[cx] = code_byte(128 + (224 / (4 * 1.8556f)) * (sb - luma) + cb_threshold[cx]);
        out_cr[cx] = code_byte(128 + (224 / (4 * 1.5748f)) * (sr - luma) + cr_threshold[cx + 8]);
    };
    for (int cx = 0; cx < width / 2; ++cx)
        chroma(cx, 2 * cx, 2 * cx + 1);
    // An odd width's last column is its own pair.
    if (width & 1)
        chroma(width / 2, width - 1, width - 1);
}

// Every pair of rows through the transform. `CW`, `CH`: the input's chroma
// subsampling (log2).
template <typename Sample, int CW, int CH, bool RGB>
void convert_picture(ColourStage& c, const AVFrame& in, AVFrame& out) {
    const ColourTransform& t = c.transform;
    const unsigned max_code = (1u << c.transform_depth) - 1;
    const Rows rows{c.red.data(),   c.green.data(), c.blue.data(), c.gain.data(),
                    c.parts.data(), c.steps.data(), 2 * in.width};
    for (int cy = 0; cy < (in.height + 1) / 2; ++cy) {
        const int ys[2] = {2 * cy, std::min(2 * cy + 1, in.height - 1)};
        load_rows<Sample, CW, CH, RGB>(t, in, ys, max_code, rows);
        if (t.through_light) {
            transfer(t.to_light, rows.r, rows.steps, rows.count);
            transfer(t.to_light, rows.g, rows.steps, rows.count);
            transfer(t.to_light, rows.b, rows.steps, rows.count);
            if (t.hdr)
                tone_map_rows(t, rows);
            into_bt709(t, rows);
            look_up(t.to_code, rows.r, rows.steps, rows.count);
            look_up(t.to_code, rows.g, rows.steps, rows.count);
            look_up(t.to_code, rows.b, rows.steps, rows.count);
        } else {
            for (int i = 0; i < rows.count; ++i) {
                rows.r[i] = std::clamp(rows.r[i], 0.0f, 1.0f);
                rows.g[i] = std::clamp(rows.g[i], 0.0f, 1.0f);
                rows.b[i] = std::clamp(rows.b[i], 0.0f, 1.0f);
            }
        }
        store_rows(rows, c.dither, ys, cy, out);
    }
}

// Planar, three components of one depth from 8 to 16 bits in native byte
// order, chroma subsampled by at most two each way: what the transform reads.
bool transform_reads(AVPixelFormat pix_fmt) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix_fmt);
    if (!desc || desc->nb_components < 3 || !(desc->flags & AV_PIX_FMT_FLAG_PLANAR) ||
        (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT |
                        AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BE)) ||
        desc->log2_chroma_w > 1 || desc->log2_chroma_h > 1)
        return false;
    const int depth = desc->comp[0].depth;
    for (int k = 0; k < 3; ++k) {
        const AVComponentDescriptor& comp = desc->comp[k];
        if (comp.depth != depth || comp.shift != 0 || comp.offset != 0 ||
            comp.step != (depth > 8 ? 2 : 1))
            return false;
    }
    // Y'CbCr in planes 0, 1, 2, or G, B, R.
    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    return depth >= 8 && depth <= 16 &&
           (rgb ? desc->comp[1].plane == 0 && desc->comp[2].plane == 1 && desc->comp[0].plane == 2
                : desc->comp[0].plane == 0 && desc->comp[1].plane == 1 && desc->comp[2].plane == 2);
}

// What the scaler turns a picture the transform cannot read into: planar, of
// the same chroma subsampling where the transform reads it.
AVPixelFormat readable_format(AVPixelFormat pix_fmt) {
    if (transform_reads(pix_fmt))
        return pix_fmt;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix_fmt);
    const bool deep = desc && desc->comp[0].depth > 8;
    if (!desc || (desc->flags & AV_PIX_FMT_FLAG_RGB) || desc->nb_components < 3)
        return desc && (desc->flags & AV_PIX_FMT_FLAG_RGB)
                   ? (deep ? AV_PIX_FMT_GBRP16 : AV_PIX_FMT_GBRP)
                   : (deep ? AV_PIX_FMT_YUV444P16 : AV_PIX_FMT_YUV444P);
    if (desc->log2_chroma_w == 1 && desc->log2_chroma_h == 1)
        return deep ? AV_PIX_FMT_YUV420P16 : AV_PIX_FMT_YUV420P;
    if (desc->log2_chroma_w == 1 && desc->log2_chroma_h == 0)
        return deep ? AV_PIX_FMT_YUV422P16 : AV_PIX_FMT_YUV422P;
    return deep ? AV_PIX_FMT_YUV444P16 : AV_PIX_FMT_YUV444P;
}

// The scaler's formats are taken as they are named, the full range of the
// "J" formats included, so that it only moves and resizes code values.
AVPixelFormat without_range(AVPixelFormat pix_fmt, bool& full) {
    full = true;
    switch (pix_fmt) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        return AV_PIX_FMT_YUV411P;
    default:
        full = false;
        return pix_fmt;
    }
}

StepStatus build_scaler(ColourStage& c, const AVFrame* decoded, AVPixelFormat readable) {
    const auto decoded_format = static_cast<AVPixelFormat>(decoded->format);
    c.out_width = decoded->width;
    c.out_height = decoded->height;
    if (c.working_width > 0 && c.working_height > 0 && c.working_width < decoded->width &&
        c.working_height < decoded->height) {
        c.out_width = c.working_width;
        c.out_height = c.working_height;
    }
    c.scaler.reset();
    c.scaled.reset();
    if (readable == decoded_format && c.out_width == decoded->width && c.out_height == decoded->height)
        return step_ok();
    bool src_full = false, dst_full = false;
    const AVPixelFormat src = without_range(decoded_format, src_full);
    const AVPixelFormat dst = without_range(readable, dst_full);
    c.scaler.reset(sws_getContext(decoded->width, decoded->height, src, c.out_width, c.out_height, dst,
                                  SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!c.scaler)
        return step_failed(STEP, AVERROR(EINVAL));
    // Same coefficients, same range on both sides: the scaler resizes and
    // repacks, and leaves the colours to the transform.
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    const int range = src_full || dst_full ? 1 : 0;
    if (sws_setColorspaceDetails(c.scaler.get(), coefficients, range, coefficients, range, 0,
                                 1 << 16, 1 << 16) < 0)
        return step_failed(STEP, AVERROR(EINVAL));
    c.scaled.reset(av_frame_alloc());
    if (!c.scaled)
        return step_failed(STEP, AVERROR(ENOMEM));
    c.scaled->format = readable;
    c.scaled->width = c.out_width;
    c.scaled->height = c.out_height;
    const int ret = av_frame_get_buffer(c.scaled.get(), 0);
    if (ret < 0)
        return step_failed(STEP, ret);
    return step_ok();
}

// The converted pictures' buffers: one per picture, all three planes in it.
int plane_stride(int width) {
    return (width + 63) & ~63;
}

StepStatus build_pool(ColourStage& c) {
    const int chroma_height = (c.out_height + 1) / 2;
    const std::size_t size =
        std::size_t(plane_stride(c.out_width)) * c.out_height +
        2 * std::size_t(plane_stride((c.out_width + 1) / 2)) * chroma_height;
    c.pool.reset(av_buffer_pool_init(size, nullptr));
    return c.pool ? step_ok() : step_failed(STEP, AVERROR(ENOMEM));
}

StepStatus build(SourceStage& s, const AVFrame* decoded) {
    ColourStage& c = s.colour;
    c.built = true;
    c.built_width = decoded->width;
    c.built_height = decoded->height;
    c.built_format = decoded->format;
    const auto pix_fmt = static_cast<AVPixelFormat>(decoded->format);
    c.converting = needs_conversion(c.colour, pix_fmt);
    if (!c.converting)
        return step_ok();
    const AVPixelFormat readable = readable_format(pix_fmt);
    StepStatus status = build_scaler(c, decoded, readable);
    if (status.failed())
        return status;
    const std::size_t row_pair = 2 * std::size_t(c.out_width);
    for (std::vector<float>* buffer : {&c.red, &c.green, &c.blue, &c.gain})
        buffer->resize(row_pair);
    c.parts.resize(3 * std::size_t(c.out_width));
    c.steps.resize(row_pair);
    // The dither's thresholds for each of its 16 rows, as wide as a picture
    // row (and 8 more, for chroma's offset pattern).
    const DitherMatrix& matrix = dither_matrix();
    const std::size_t dither_width = std::size_t(c.out_width) + 8;
    c.dither.resize(16 * dither_width);
    for (std::size_t y = 0; y < 16; ++y)
        for (std::size_t x = 0; x < dither_width; ++x)
            c.dither[y * dither_width + x] = matrix[y][x & 15] / 256.0f;
    const int depth = av_pix_fmt_desc_get(readable)->comp[0].depth;
    if (c.transform_depth != depth) {
        c.transform = build_colour_transform(c.colour, depth);
        c.transform_depth = depth;
    }
    return build_pool(c);
}

StepStatus new_converted_picture(ColourStage& c, const AVFrame* decoded) {
    if (!c.converted) {
        c.converted.reset(av_frame_alloc());
        if (!c.converted)
            return step_failed(STEP, AVERROR(ENOMEM));
    }
    AVFrame* out = c.converted.get();
    // Timestamps, aspect ratio and side data as decoded.
    int ret = av_frame_copy_props(out, decoded);
    if (ret < 0)
        return step_failed(STEP, ret);
    out->buf[0] = av_buffer_pool_get(c.pool.get());
    if (!out->buf[0])
        return step_failed(STEP, AVERROR(ENOMEM));
    out->format = AV_PIX_FMT_YUV420P;
    out->width = c.out_width;
    out->height = c.out_height;
    out->linesize[0] = plane_stride(c.out_width);
    out->linesize[1] = out->linesize[2] = plane_stride((c.out_width + 1) / 2);
    out->data[0] = out->buf[0]->data;
    out->data[1] = out->data[0] + std::ptrdiff_t{out->linesize[0]} * c.out_height;
    out->data[2] = out->data[1] + std::ptrdiff_t{out->linesize[1]} * ((c.out_height + 1) / 2);
    out->extended_data = out->data;
    tag_picture(*out, SDR_BT709);
    out->chroma_location = AVCHROMA_LOC_UNSPECIFIED;
    return step_ok();
}

template <typename Sample, int CW, int CH>
void convert_with(ColourStage& c, const AVFrame& in, AVFrame& out) {
    if (c.transform.rgb)
        convert_picture<Sample, CW, CH, true>(c, in, out);
    else
        convert_picture<Sample, CW, CH, false>(c, in, out);
}

template <typename Sample> void convert_with(ColourStage& c, const AVFrame& in, AVFrame& out) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(in.format));
    switch (desc->log2_chroma_w * 2 + desc->log2_chroma_h) {
    case 3: // 4:2:0
        return convert_with<Sample, 1, 1>(c, in, out);
    case 2: // 4:2:2
        return convert_with<Sample, 1, 0>(c, in, out);
    case 1: // 4:4:0
        return convert_with<Sample, 0, 1>(c, in, out);
    default: // 4:4:4
        return convert_with<Sample, 0, 0>(c, in, out);
    }
}

void run_transform(ColourStage& c, const AVFrame& in, AVFrame& out) {
    if (c.transform_depth > 8)
        convert_with<uint16_t>(c, in, out);
    else
        convert_with<uint8_t>(c, in, out);
}

} // namespace

StepStatus convert_colour(SourceStage& s, AVFrame* decoded, AVFrame*& shown) {
    ColourStage& c = s.colour;
    shown = decoded;
    if (!c.wanted)
        return step_ok();
    if (!c.built || c.built_width != decoded->width || c.built_height != decoded->height ||
        c.built_format != decoded->format) {
        if (!c.final)
            take_picture_metadata(c.colour, *decoded);
        const StepStatus status = build(s, decoded);
        if (status.failed())
            return status;
    }
    if (!c.converting)
        return step_ok();
    const AVFrame* readable = decoded;
    if (c.scaler) {
        // The scaler's picture is only read by the transform, never shared.
        const int ret = sws_scale(c.scaler.get(), decoded->data, decoded->linesize, 0,
                                  decoded->height, c.scaled->data, c.scaled->linesize);
        if (ret < 0)
            return step_failed(STEP, ret);
        readable = c.scaled.get();
    }
    const StepStatus status = new_converted_picture(c, decoded);
    if (status.failed())
        return status;
    run_transform(c, *readable, *c.converted);
    shown = c.converted.get();
    return step_ok();
}
