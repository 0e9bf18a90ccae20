// The master playlist: the job's own file, listing each variant with its
// bandwidth and frame size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One planned variant.
struct RenditionSpec {
    std::string name;
    int32_t width;
    int32_t height;
    int32_t bitrate;
};

// The playlist text: "#EXTM3U", "#EXT-X-VERSION:3", then a STREAM-INF line and
// the bare variant playlist name for each entry, every line ended by "\n".
std::string master_playlist_text(const std::vector<RenditionSpec>& variants);

// Replaces the file at `path` with the playlist. False when the file cannot be
// created, written or closed.
bool write_master_playlist(const std::string& path, const std::vector<RenditionSpec>& variants);
