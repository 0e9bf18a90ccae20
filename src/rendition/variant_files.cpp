#include "rendition/variant_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <fstream>
#include <vector>

#include "media/paths.h"

namespace {

constexpr const char* CHECK_STEP = "could not verify the written variant";
constexpr const char* EXTINF = "#EXTINF:";
constexpr double SHORTEST_PEAK_SEGMENT_SECONDS = 1.0;

struct Segment {
    double seconds = 0; // its EXTINF
    int64_t bytes = 0;
};

// The duration an EXTINF line gives, "6.006000," read without the C library's
// locale, which could take the comma for the decimal separator.
double extinf_seconds(const std::string& line) {
    double seconds = 0;
    double unit = 1;
    bool fraction = false;
    for (std::size_t k = std::char_traits<char>::length(EXTINF); k < line.size(); ++k) {
        const char c = line[k];
        if (c == '.' && !fraction) {
            fraction = true;
        } else if (c >= '0' && c <= '9') {
            if (fraction) {
                unit /= 10;
                seconds += (c - '0') * unit;
            } else {
                seconds = seconds * 10 + (c - '0');
            }
        } else {
            break;
        }
    }
    return seconds;
}

int64_t bits_per_second(int64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<int64_t>(std::ceil(static_cast<double>(bytes) * 8 / seconds))
                       : 0;
}

VariantFigures measure(const std::vector<Segment>& segments) {
    VariantFigures figures;
    int64_t bytes = 0;
    double seconds = 0;
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const Segment& segment = segments[k];
        bytes += segment.bytes;
        seconds += segment.seconds;
        const bool short_last = k + 1 == segments.size() && k > 0 &&
                                segment.seconds < SHORTEST_PEAK_SEGMENT_SECONDS;
        if (!short_last)
            figures.peak_bps =
                std::max(figures.peak_bps, bits_per_second(segment.bytes, segment.seconds));
    }
    figures.average_bps = bits_per_second(bytes, seconds);
    return figures;
}

} // namespace

StepStatus check_variant_files(const std::string& playlist_name, VariantFigures& figures) {
    std::ifstream playlist(playlist_name, std::ios::binary);
    if (!playlist.is_open())
        return step_failed(CHECK_STEP, AVERROR(ENOENT));
    const std::string directory = directory_of(playlist_name);
    bool closed = false;
    std::vector<Segment> segments;
    double next_seconds = 0;
    for (std::string line; std::getline(playlist, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "#EXT-X-ENDLIST")
            closed = true;
        if (line.compare(0, std::char_traits<char>::length(EXTINF), EXTINF) == 0)
            next_seconds = extinf_seconds(line);
        if (line.empty() || line[0] == '#')
            continue;
        struct stat info {};
        const std::string segment = directory + line;
        if (stat(segment.c_str(), &info) != 0)
            return step_failed(CHECK_STEP, AVERROR(errno));
        if (!S_ISREG(info.st_mode) || info.st_size == 0 || info.st_size % 16 != 0)
            return step_failed(CHECK_STEP, AVERROR_INVALIDDATA);
        segments.push_back({next_seconds, static_cast<int64_t>(info.st_size)});
        next_seconds = 0;
    }
    if (!closed || segments.empty())
        return step_failed(CHECK_STEP, AVERROR_INVALIDDATA);
    figures = measure(segments);
    return step_ok();
}
