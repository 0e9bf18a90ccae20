#include "rendition/variant_files.h"

#include <sys/stat.h>

#include <cerrno>

#include <fstream>

#include "media/paths.h"

namespace {

constexpr const char* CHECK_STEP = "could not verify the written variant";

} // namespace

StepStatus check_variant_files(const std::string& playlist_name) {
    std::ifstream playlist(playlist_name, std::ios::binary);
    if (!playlist.is_open())
        return step_failed(CHECK_STEP, AVERROR(ENOENT));
    const std::string directory = directory_of(playlist_name);
    bool closed = false;
    int segments = 0;
    for (std::string line; std::getline(playlist, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "#EXT-X-ENDLIST")
            closed = true;
        if (line.empty() || line[0] == '#')
            continue;
        struct stat info {};
        const std::string segment = directory + line;
        if (stat(segment.c_str(), &info) != 0)
            return step_failed(CHECK_STEP, AVERROR(errno));
        if (!S_ISREG(info.st_mode) || info.st_size == 0 || info.st_size % 16 != 0)
            return step_failed(CHECK_STEP, AVERROR_INVALIDDATA);
        ++segments;
    }
    if (!closed || segments == 0)
        return step_failed(CHECK_STEP, AVERROR_INVALIDDATA);
    return step_ok();
}
