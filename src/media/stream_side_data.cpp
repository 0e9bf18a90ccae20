#include "media/stream_side_data.h"

extern "C" {
#include <libavcodec/version.h>
}

const uint8_t* stream_side_data(const AVStream& stream, AVPacketSideDataType type,
                                std::size_t min_size) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
    // FFmpeg 6.1 moved it into the codec parameters; 7.0 removed the old way.
    const AVPacketSideData* side_data = av_packet_side_data_get(
        stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data, type);
    if (!side_data || side_data->size < min_size)
        return nullptr;
    return side_data->data;
#else
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(&stream, type, &size);
    if (!data || size < min_size)
        return nullptr;
    return data;
#endif
}
