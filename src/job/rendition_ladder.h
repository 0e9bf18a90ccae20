// The fixed ladder of renditions a job can produce: name, frame size, default bitrate.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct RenditionRung {
    const char* name;
    int32_t long_side;
    int32_t short_side;
    int32_t default_bitrate;
};

struct FrameSize {
    int32_t width;
    int32_t height;
};

// Every rung, from the largest frame size down.
const std::array<RenditionRung, 4>& rendition_ladder();

// The rung whose name equals `name` byte for byte, or nullptr.
const RenditionRung* find_rendition(const std::string& name);

// Portrait sources (narrower than tall) get the rung turned on its side;
// square and landscape sources get it as listed.
FrameSize rendition_frame_size(const RenditionRung& rung, int32_t source_width,
                               int32_t source_height);
