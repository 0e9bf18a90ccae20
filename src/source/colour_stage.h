// The source stage's colour conversion: each decoded picture that is not
// already 8-bit SDR BT.709 with limited range becomes one, once, before the
// fan-out, so that every rendition scales and encodes the same colours.
#pragma once

#include <cstdint>
#include <vector>

#include "media/ffmpeg_owners.h"
#include "source/colour_table.h"
#include "source/source_colour.h"

struct ColourStage {
    // Wanted by the profile; off for hls_encoder, whose pictures go on as
    // decoded.
    bool wanted = false;
    ColourDescription colour; // the probe's; the first picture may add metadata
    // Taken from a split job's plan, which read the first picture already:
    // a chunk's first picture must not change it.
    bool final = false;
    // Where converted pictures are made smaller first, when the largest
    // rendition needs far fewer pixels than the source has (a 4K source of
    // a 1080p ladder); 0 keeps the decoded size.
    int working_width = 0;
    int working_height = 0;

    // Built for the decoded pictures' format, and again when it changes.
    bool built = false;
    int built_width = 0;
    int built_height = 0;
    int built_format = AV_PIX_FMT_NONE;
    bool converting = false;
    // To a format the transform reads, at the working size; null when the
    // decoded picture is read as it is.
    ScalerPtr scaler;
    FramePtr scaled;
    int transform_depth = 0; // bits per sample the transform was built for
    ColourTransform transform;
    // Two rows of pixels at a time (the rows of one chroma row), a channel
    // after the other, so that each step of the transform runs over a row.
    std::vector<float> red, green, blue;
    std::vector<float> gain;  // the tone curve's, per pixel
    std::vector<float> parts; // what a chroma row adds to each channel
    std::vector<int> steps;  // table indexes
    std::vector<float> dither; // 16 rows of ordered-dither thresholds
    BufferPoolPtr pool; // buffers of the converted pictures, which renditions keep a while
    int out_width = 0;
    int out_height = 0;
    FramePtr converted;
};
