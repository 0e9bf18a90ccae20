// How the chosen video stream is meant to be shown: its display matrix as the
// filters that turn the decoded picture upright.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

struct Orientation {
    // A libavfilter chain such as "transpose=clock", or nullptr when the
    // picture is shown as decoded.
    const char* filters = nullptr;
    // The displayed picture's width is the decoded height (a quarter turn).
    bool swaps_sides = false;
};

// Rotations by 90, 180 and 270 degrees, with or without a mirror flip; any
// other angle is shown as decoded.
Orientation orientation_of(const AVStream& video);
