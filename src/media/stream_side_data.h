// A stream's side data (display matrix, HDR metadata, Dolby Vision
// configuration), wherever the FFmpeg release keeps it.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

// The stream's side data of `type`, or nullptr when it has none of at least
// `min_size` bytes.
const uint8_t* stream_side_data(const AVStream& stream, AVPacketSideDataType type,
                                std::size_t min_size);
