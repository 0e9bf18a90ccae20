// What the input's pictures say about their colour, learned once by the
// probe: primaries, transfer, matrix, range, bit depth and HDR metadata,
// with the usual guesses where the file says nothing.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

// How the code values turn into light.
enum class Transfer { sdr, pq, hlg };

struct ColourDescription {
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer_characteristic = AVCOL_TRC_BT709;
    AVColorSpace matrix = AVCOL_SPC_BT709;
    AVColorRange range = AVCOL_RANGE_MPEG;
    Transfer transfer = Transfer::sdr;
    int bit_depth = 8;
    // The pictures are R'G'B', not Y'CbCr: the matrix is the identity.
    bool rgb = false;
    // Some of the above was not in the file and was guessed from the
    // picture's height (BT.709 from 720 lines up, BT.601 below).
    bool guessed = false;
    // PQ: the brightest light the content holds, in cd/m², from its content
    // light level or mastering display metadata; 0 when the file says none.
    double peak_nits = 0;
    // Dolby Vision: the profile, or -1, and the base layer's compatibility
    // (1 HDR10, 2 SDR, 4 HLG; 0 none a player without Dolby Vision can show).
    int dolby_vision_profile = -1;
    int dolby_vision_compatibility = -1;
};

// The video stream's colour, from its parameters and side data, the
// pixel format's depth and range, and the guesses.
ColourDescription describe_colour(const AVStream& video);

// Fills in what the decoded picture says and the stream did not: HDR
// metadata carried in the pictures (an HEVC stream's SEI) rather than the
// container.
void take_picture_metadata(ColourDescription& colour, const AVFrame& picture);

// Whether pictures of `pix_fmt` described so need converting to reach 8-bit
// 4:2:0-or-better BT.709 SDR with limited range; 4:2:2 and 4:4:4 alone are
// left to the renditions' scalers, which make 4:2:0 of them anyway.
bool needs_conversion(const ColourDescription& colour, AVPixelFormat pix_fmt);

// The Dolby Vision profile 5 (no base layer for other players) that no
// conversion shows right.
bool without_compatible_base_layer(const ColourDescription& colour);

// "HLG BT.2020 10-bit", "SDR BT.601 8-bit full range (untagged: guessed)".
std::string colour_text(const ColourDescription& colour);
