#include "rendition/key_info_check.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

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
std::array<std::string, 3> first_lines(const std::vector<uint8_t>& bytes) {
    std::array<std::string, 3> lines;
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

void wipe_bytes(uint8_t* bytes, std::size_t size) {
    for (std::size_t k = 0; k < size; ++k)
        static_cast<volatile uint8_t*>(bytes)[k] = 0;
}

// The key info file's lines and its key, read as the muxer reads them.
StepStatus read_key_info(const std::string& key_info_path, std::array<std::string, 3>& lines,
                         std::vector<uint8_t>& key) {
    std::vector<uint8_t> key_info;
    int ret = read_start(key_info_path, key_info, KEY_INFO_LIMIT);
    if (ret < 0)
        return step_failed("could not read the key info file", ret);
    lines = first_lines(key_info);
    if (lines[0].empty())
        return step_failed("the key info file names no key URI", AVERROR(EINVAL));
    if (lines[1].empty())
        return step_failed("the key info file names no key file", AVERROR(EINVAL));
    ret = read_start(lines[1], key, KEY_SIZE);
    if (ret < 0)
        return step_failed("could not read the key file", ret);
    if (key.size() != KEY_SIZE)
        return step_failed("the key file holds fewer than 16 bytes", AVERROR(EINVAL));
    return step_ok();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

StepStatus check_key_info(const std::string& key_info_path) {
    std::array<std::string, 3> lines;
    std::vector<uint8_t> key;
    const StepStatus status = read_key_info(key_info_path, lines, key);
    // The key is the muxer's to keep; no copy of it stays in this process.
    wipe_bytes(key.data(), key.size());
    return status;
}

void SegmentKey::wipe() {
    wipe_bytes(key.data(), key.size());
}

StepStatus read_segment_key(const std::string& key_info_path, SegmentKey& key) {
    std::array<std::string, 3> lines;
    std::vector<uint8_t> bytes;
    StepStatus status = read_key_info(key_info_path, lines, bytes);
    if (!status.failed()) {
        key.uri = lines[0];
        std::copy(bytes.begin(), bytes.end(), key.key.begin());
        key.iv.fill(0);
        std::string iv = lines[2];
        if (iv.size() > 2 && iv[0] == '0' && (iv[1] == 'x' || iv[1] == 'X'))
            iv = iv.substr(2);
        if (!iv.empty() && iv.size() != 2 * key.iv.size())
            status = step_failed("the key info file's IV is not 32 hexadecimal digits", AVERROR(EINVAL));
        for (std::size_t k = 0; !status.failed() && k < iv.size(); k += 2) {
            const int high = hex_digit(iv[k]), low = hex_digit(iv[k + 1]);
            if (high < 0 || low < 0)
                status = step_failed("the key info file's IV is not 32 hexadecimal digits", AVERROR(EINVAL));
            else
                key.iv[k / 2] = static_cast<uint8_t>(high * 16 + low);
        }
    }
    wipe_bytes(bytes.data(), bytes.size());
    return status;
}

StepStatus encrypt_segment(const SegmentKey& key, const std::string& clear, std::string& encrypted) {
    std::unique_ptr<AVAES, decltype(&av_free)> aes(av_aes_alloc(), &av_free);
    if (!aes)
        return step_failed("could not set up the segment encryption", AVERROR(ENOMEM));
    int ret = av_aes_init(aes.get(), key.key.data(), 128, 0);
    if (ret < 0)
        return step_failed("could not set up the segment encryption", ret);
    // PKCS#7: 1 to 16 bytes, each the count.
    const std::size_t pad = KEY_SIZE - clear.size() % KEY_SIZE;
    std::string padded = clear + std::string(pad, static_cast<char>(pad));
    encrypted.assign(padded.size(), '\0');
    std::array<uint8_t, 16> iv = key.iv;
    av_aes_crypt(aes.get(), reinterpret_cast<uint8_t*>(encrypted.data()),
                 reinterpret_cast<const uint8_t*>(padded.data()),
                 static_cast<int>(padded.size() / KEY_SIZE), iv.data(), 0);
    return step_ok();
}

std::string key_tag(const SegmentKey& key) {
    std::string hex;
    for (const uint8_t byte : key.iv) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return "#EXT-X-KEY:METHOD=AES-128,URI=\"" + key.uri + "\",IV=0x" + hex;
}

