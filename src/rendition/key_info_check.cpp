#include "rendition/key_info_check.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <vector>

namespace {

constexpr int KEY_SIZE = 16;
// The muxer reads three lines of at most 4096 bytes each.
constexpr int KEY_INFO_LIMIT = 3 * 4097;

// Reads up to `limit` bytes; fewer at the end of the file.
int read_start(const std::string& path, std::vector<uint8_t>& bytes, int limit) {
    AVIOContext* opened = nullptr;
    // Through the same protocol layer as the muxer, so that the same paths
    // and URLs work.
    int ret = avio_open2(&opened, path.c_str(), AVIO_FLAG_READ, nullptr, nullptr);
    AvioContextPtr pb(opened);
    if (ret < 0)
        return ret;
    bytes.resize(static_cast<std::size_t>(limit));
    int filled = 0;
    while (filled < limit) {
        ret = avio_read(pb.get(), bytes.data() + filled, limit - filled);
        if (ret == AVERROR_EOF || ret == 0)
            break;
        if (ret < 0)
            return ret;
        filled += ret;
    }
    bytes.resize(static_cast<std::size_t>(filled));
    return 0;
}

// The muxer's line reading: a line ends at "\n", "\r" or "\r\n", and
// trailing white space is dropped.
std::array<std::string, 2> first_two_lines(const std::vector<uint8_t>& bytes) {
    std::array<std::string, 2> lines;
    std::size_t at = 0;
    for (std::string& line : lines) {
        while (at < bytes.size() && bytes[at] != '\n' && bytes[at] != '\r' && bytes[at] != '\0')
            line += static_cast<char>(bytes[at++]);
        if (at < bytes.size() && bytes[at] == '\r')
            ++at;
        if (at < bytes.size() && bytes[at] == '\n')
            ++at;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
    }
    return lines;
}

} // namespace

StepStatus check_key_info(const std::string& key_info_path) {
    std::vector<uint8_t> key_info;
    int ret = read_start(key_info_path, key_info, KEY_INFO_LIMIT);
    if (ret < 0)
        return step_failed("could not read the key info file", ret);
    const std::array<std::string, 2> lines = first_two_lines(key_info);
    if (lines[0].empty())
        return step_failed("the key info file names no key URI", AVERROR(EINVAL));
    if (lines[1].empty())
        return step_failed("the key info file names no key file", AVERROR(EINVAL));

    std::vector<uint8_t> key;
    ret = read_start(lines[1], key, KEY_SIZE);
    const bool whole_key = key.size() == KEY_SIZE;
    // The key is the muxer's to keep; no copy of it stays in this process.
    for (uint8_t& byte : key)
        *static_cast<volatile uint8_t*>(&byte) = 0;
    if (ret < 0)
        return step_failed("could not read the key file", ret);
    if (!whole_key)
        return step_failed("the key file holds fewer than 16 bytes", AVERROR(EINVAL));
    return step_ok();
}
