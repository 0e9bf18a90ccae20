#include "source/picture_orientation.h"

#include <cmath>
#include <cstdint>

#include "media/stream_side_data.h"

extern "C" {
#include <libavutil/display.h>
}

namespace {

// The stream's 3x3 display matrix (16.16 and 2.30 fixed point), or nullptr.
const int32_t* display_matrix(const AVStream& video) {
    return reinterpret_cast<const int32_t*>(
        stream_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
}

// The clockwise turn the matrix asks for, in whole degrees from 0 to 359.
double clockwise_degrees(const int32_t* matrix) {
    double theta = -std::round(av_display_rotation_get(matrix));
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    return theta;
}

} // namespace

Orientation orientation_of(const AVStream& video) {
    const int32_t* matrix = display_matrix(video);
    if (!matrix)
        return {};
    const double theta = clockwise_degrees(matrix);
    // The matrix's signs tell a mirrored picture from a turned one; these are
    // the choices the ffmpeg tool makes for the same matrix.
    if (std::fabs(theta - 90) < 1.0)
        return {matrix[3] > 0 ? "transpose=cclock_flip" : "transpose=clock", true};
    if (std::fabs(theta - 270) < 1.0)
        return {matrix[3] < 0 ? "transpose=clock_flip" : "transpose=cclock", true};
    if (std::fabs(theta - 180) < 1.0) {
        const bool mirrored = matrix[0] < 0;
        const bool flipped = matrix[4] < 0;
        if (mirrored && flipped)
            return {"hflip,vflip", false};
        if (mirrored)
            return {"hflip", false};
        if (flipped)
            return {"vflip", false};
        return {};
    }
    // A mirror image left to right reads as a half turn above; upside down
    // reads as no turn at all.
    if (std::fabs(theta) < 1.0 && matrix[4] < 0)
        return {"vflip", false};
    return {};
}
