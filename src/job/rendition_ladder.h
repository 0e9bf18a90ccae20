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

// The picture as players show it: the coded size with its sample aspect ratio
// applied to the width, turned on its side when the display matrix says so.
FrameSize displayed_size(int32_t coded_width, int32_t coded_height, int sar_num, int sar_den,
                         bool swaps_sides);

// The largest frame of the displayed aspect ratio that fits inside the rung's
// frame (turned like the picture), both sides even; `upscales` tells whether
// it is larger than the displayed picture. A picture of unknown size gets the
// rung's frame.
struct FittedFrame {
    FrameSize size;
    bool upscales = false;
};
FittedFrame fitted_frame_size(const RenditionRung& rung, FrameSize displayed);

// The displayed picture's own size, its sides rounded down to even: where the
// smallest requested rung is made when its frame would be larger.
FrameSize source_frame_size(FrameSize displayed);
