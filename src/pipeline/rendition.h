// One planned rendition of a job, as it travels from the plan to its stage and
// into the master playlist, and what became of it.
#pragma once

#include <cstdint>
#include <string>

struct Rendition {
    std::string name; // as the caller gave it, for example "720p"
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitrate = 0; // video, bits per second
    // Where the variant playlist goes: beside the master playlist, named after
    // the rendition. Its segments are named after the same stem.
    std::string playlist_path;
};

// Written by the rendition's own thread, read by the driver after the join.
struct RenditionOutcome {
    bool created = false;
    std::string failure; // "step: reason" when not created
};
