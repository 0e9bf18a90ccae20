#include "source/source_colour.h"

#include "media/stream_side_data.h"

extern "C" {
#include <libavutil/dovi_meta.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

namespace {

bool is_full_range_format(AVPixelFormat pix_fmt) {
    switch (pix_fmt) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return true;
    default:
        return false;
    }
}

bool is_rgb_format(AVPixelFormat pix_fmt) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix_fmt);
    return desc && (desc->flags & AV_PIX_FMT_FLAG_RGB);
}

int depth_of(AVPixelFormat pix_fmt, int bits_per_raw_sample) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix_fmt);
    if (desc && desc->nb_components > 0)
        return desc->comp[0].depth;
    return bits_per_raw_sample > 0 ? bits_per_raw_sample : 8;
}

// The matrix that goes with the primaries, and the primaries that go with
// the matrix, for a file that names only one of them.
AVColorSpace matrix_for(AVColorPrimaries primaries) {
    switch (primaries) {
    case AVCOL_PRI_BT2020:
        return AVCOL_SPC_BT2020_NCL;
    case AVCOL_PRI_BT470BG:
        return AVCOL_SPC_BT470BG;
    case AVCOL_PRI_SMPTE170M:
    case AVCOL_PRI_SMPTE240M:
    case AVCOL_PRI_BT470M:
        return AVCOL_SPC_SMPTE170M;
    default:
        return AVCOL_SPC_BT709;
    }
}

AVColorPrimaries primaries_for(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return AVCOL_PRI_BT2020;
    case AVCOL_SPC_BT470BG:
        return AVCOL_PRI_BT470BG;
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_FCC:
        return AVCOL_PRI_SMPTE170M;
    default:
        return AVCOL_PRI_BT709;
    }
}

// The usual guess for a picture that names neither: HD is BT.709; SD is
// BT.601, of 625 lines (PAL) at its heights, of 525 (NTSC) otherwise.
AVColorPrimaries guessed_primaries(int width, int height) {
    if (width >= 1280 || height >= 720)
        return AVCOL_PRI_BT709;
    if (height == 576 || height == 288)
        return AVCOL_PRI_BT470BG;
    return AVCOL_PRI_SMPTE170M;
}

// What a Dolby Vision base layer is, for a stream whose own tags are silent.
void take_dolby_vision(ColourDescription& c, const AVStream& video) {
    const auto* config = reinterpret_cast<const AVDOVIDecoderConfigurationRecord*>(
        stream_side_data(video, AV_PKT_DATA_DOVI_CONF, sizeof(AVDOVIDecoderConfigurationRecord)));
    if (!config)
        return;
    c.dolby_vision_profile = config->dv_profile;
    c.dolby_vision_compatibility = config->dv_bl_signal_compatibility_id;
    if (c.transfer != Transfer::sdr || c.transfer_characteristic != AVCOL_TRC_UNSPECIFIED)
        return;
    // Profile 5's single layer is PQ too, in a colour space of its own that
    // nothing else decodes: shown as PQ, and said so.
    if (c.dolby_vision_compatibility == 1 || c.dolby_vision_profile == 5) {
        c.transfer_characteristic = AVCOL_TRC_SMPTE2084;
        c.transfer = Transfer::pq;
    } else if (c.dolby_vision_compatibility == 4) {
        c.transfer_characteristic = AVCOL_TRC_ARIB_STD_B67;
        c.transfer = Transfer::hlg;
    }
}

// The content's peak from its metadata: the brightest pixel's light when
// the content light level says it, else the mastering display's peak.
double metadata_peak(const AVContentLightMetadata* light, const AVMasteringDisplayMetadata* display) {
    if (light && light->MaxCLL > 0)
        return light->MaxCLL;
    if (display && display->has_luminance && display->max_luminance.den > 0)
        return av_q2d(display->max_luminance);
    return 0;
}

const char* primaries_text(AVColorPrimaries primaries) {
    switch (primaries) {
    case AVCOL_PRI_BT709:
        return "BT.709";
    case AVCOL_PRI_BT470BG:
    case AVCOL_PRI_SMPTE170M:
    case AVCOL_PRI_SMPTE240M:
    case AVCOL_PRI_BT470M:
        return "BT.601";
    case AVCOL_PRI_BT2020:
        return "BT.2020";
    case AVCOL_PRI_SMPTE432:
        return "Display P3";
    case AVCOL_PRI_SMPTE431:
        return "DCI-P3";
    default: {
        const char* name = av_color_primaries_name(primaries);
        return name ? name : "unknown primaries";
    }
    }
}

const char* matrix_text(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_BT709:
        return "BT.709";
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return "BT.601";
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return "BT.2020";
    default: {
        const char* name = av_color_space_name(matrix);
        return name ? name : "unknown";
    }
    }
}

} // namespace

ColourDescription describe_colour(const AVStream& video) {
    const AVCodecParameters& par = *video.codecpar;
    const auto pix_fmt = static_cast<AVPixelFormat>(par.format);
    ColourDescription c;
    c.bit_depth = depth_of(pix_fmt, par.bits_per_raw_sample);
    c.rgb = is_rgb_format(pix_fmt) || par.color_space == AVCOL_SPC_RGB;
    c.transfer_characteristic = par.color_trc;
    c.transfer = par.color_trc == AVCOL_TRC_SMPTE2084       ? Transfer::pq
                 : par.color_trc == AVCOL_TRC_ARIB_STD_B67 ? Transfer::hlg
                                                            : Transfer::sdr;
    take_dolby_vision(c, video);

    c.primaries = par.color_primaries;
    c.matrix = c.rgb ? AVCOL_SPC_RGB : par.color_space;
    const bool primaries_known = c.primaries != AVCOL_PRI_UNSPECIFIED && c.primaries != AVCOL_PRI_RESERVED &&
                                 c.primaries != AVCOL_PRI_RESERVED0;
    const bool matrix_known = c.matrix != AVCOL_SPC_UNSPECIFIED && c.matrix != AVCOL_SPC_RESERVED;
    if (!primaries_known && !matrix_known) {
        // HDR is BT.2020 in practice, whatever the size.
        c.primaries = c.transfer != Transfer::sdr ? AVCOL_PRI_BT2020
                                                  : guessed_primaries(par.width, par.height);
        c.guessed = c.transfer == Transfer::sdr;
    } else if (!primaries_known) {
        c.primaries = c.rgb ? AVCOL_PRI_BT709 : primaries_for(c.matrix);
    }
    if (!matrix_known)
        c.matrix = matrix_for(c.primaries);

    const bool full = par.color_range == AVCOL_RANGE_JPEG || is_full_range_format(pix_fmt) ||
                      (c.rgb && par.color_range != AVCOL_RANGE_MPEG);
    c.range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;

    c.peak_nits = metadata_peak(
        reinterpret_cast<const AVContentLightMetadata*>(stream_side_data(
            video, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sizeof(AVContentLightMetadata))),
        reinterpret_cast<const AVMasteringDisplayMetadata*>(stream_side_data(
            video, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sizeof(AVMasteringDisplayMetadata))));
    return c;
}

void take_picture_metadata(ColourDescription& colour, const AVFrame& picture) {
    if (colour.peak_nits > 0 || colour.transfer != Transfer::pq)
        return;
    const AVFrameSideData* light = av_frame_get_side_data(&picture, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    const AVFrameSideData* display =
        av_frame_get_side_data(&picture, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    colour.peak_nits = metadata_peak(
        light && light->size >= sizeof(AVContentLightMetadata)
            ? reinterpret_cast<const AVContentLightMetadata*>(light->data)
            : nullptr,
        display && display->size >= sizeof(AVMasteringDisplayMetadata)
            ? reinterpret_cast<const AVMasteringDisplayMetadata*>(display->data)
            : nullptr);
}

bool needs_conversion(const ColourDescription& colour, AVPixelFormat pix_fmt) {
    const bool same_colours = colour.transfer == Transfer::sdr && colour.primaries == AVCOL_PRI_BT709 &&
                              colour.matrix == AVCOL_SPC_BT709 && colour.range == AVCOL_RANGE_MPEG;
    return !same_colours || is_rgb_format(pix_fmt) || is_full_range_format(pix_fmt) ||
           depth_of(pix_fmt, 0) > 8;
}

bool without_compatible_base_layer(const ColourDescription& colour) {
    return colour.dolby_vision_profile >= 0 && colour.dolby_vision_compatibility == 0;
}

std::string colour_text(const ColourDescription& colour) {
    const char* transfer = colour.transfer == Transfer::pq    ? "PQ"
                           : colour.transfer == Transfer::hlg ? "HLG"
                                                              : "SDR";
    std::string text = std::string(transfer) + " " + primaries_text(colour.primaries) + " " +
                       std::to_string(colour.bit_depth) + "-bit";
    if (colour.rgb)
        text += " RGB";
    if (colour.range == AVCOL_RANGE_JPEG && !colour.rgb)
        text += " full range";
    // A matrix other than the one that goes with the primaries.
    if (!colour.rgb && matrix_for(colour.primaries) != colour.matrix &&
        !(colour.matrix == AVCOL_SPC_BT470BG && matrix_for(colour.primaries) == AVCOL_SPC_SMPTE170M) &&
        !(colour.matrix == AVCOL_SPC_SMPTE170M && matrix_for(colour.primaries) == AVCOL_SPC_BT470BG))
        text += std::string(", ") + matrix_text(colour.matrix) + " matrix";
    if (colour.dolby_vision_profile >= 0)
        text += " (Dolby Vision profile " + std::to_string(colour.dolby_vision_profile) + "." +
                std::to_string(colour.dolby_vision_compatibility) + ")";
    if (colour.guessed)
        text += " (untagged: guessed from its size)";
    return text;
}
