// What the input's pictures say about their colour: learned once by the
// probe (a whole job's, or a split job's plan), with the usual guesses where
// the file says nothing.
#pragma once

#include <string>

#include "pipeline/title.h"

extern "C" {
#include <libavformat/avformat.h>
}

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
