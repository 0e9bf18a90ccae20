// A look at the key info file before the HLS muxer takes it, and the key
// for segments the muxer does not write.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"

// Reads the key info file and the key file it names the way the HLS muxer
// will, and fails, naming what is wrong, where the muxer's header would fail:
// a file that cannot be read, no key URI, no key file, a key shorter than 16
// bytes. FFmpeg 5.1's muxer loses a buffer each time its header fails, so a
// long-lived process with a misconfigured key would grow with every job.
StepStatus check_key_info(const std::string& key_info_path);

// What a segment written beside the muxer's is encrypted with, as the muxer
// encrypts its own from the same key info file: the key URI, the key, and
// the IV of the file's third line, or the first segment's media sequence
// number (0) without one, for every segment.
struct SegmentKey {
    std::string uri;
    std::array<uint8_t, 16> key{};
    std::array<uint8_t, 16> iv{};
    ~SegmentKey() { wipe(); }
    void wipe();
};

// Reads the key info file and its key as check_key_info checks them.
StepStatus read_segment_key(const std::string& key_info_path, SegmentKey& key);

// `clear` encrypted with AES-128 in CBC mode with PKCS#7 padding, as HLS's
// METHOD=AES-128 has it.
StepStatus encrypt_segment(const SegmentKey& key, const std::string& clear, std::string& encrypted);

// The playlist line that names the key: #EXT-X-KEY:METHOD=AES-128,URI="...",IV=0x...
std::string key_tag(const SegmentKey& key);
