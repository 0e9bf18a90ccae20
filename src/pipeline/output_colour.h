// The colour of every picture a converting profile hands its renditions, and
// what each variant's encoder says it is: SDR BT.709, limited range, so that
// every player shows every rung the same.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

struct OutputColour {
    AVColorPrimaries primaries;
    AVColorTransferCharacteristic transfer;
    AVColorSpace matrix;
    AVColorRange range;
};

constexpr OutputColour SDR_BT709{AVCOL_PRI_BT709, AVCOL_TRC_BT709, AVCOL_SPC_BT709,
                                 AVCOL_RANGE_MPEG};

inline void tag_picture(AVFrame& picture, const OutputColour& colour) {
    picture.color_primaries = colour.primaries;
    picture.color_trc = colour.transfer;
    picture.colorspace = colour.matrix;
    picture.color_range = colour.range;
}

// Read by libx264's wrapper into the VUI: colorprim, transfer, colormatrix
// and full range off.
inline void tag_encoder(AVCodecContext& enc_ctx, const OutputColour& colour) {
    enc_ctx.color_primaries = colour.primaries;
    enc_ctx.color_trc = colour.transfer;
    enc_ctx.colorspace = colour.matrix;
    enc_ctx.color_range = colour.range;
}
