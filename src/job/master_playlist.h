// The master playlist: the job's own file, listing each variant with its
// bandwidth and frame size.
#pragma once

#include <string>
#include <vector>

#include "pipeline/rendition.h"

// The playlist text: "#EXTM3U", "#EXT-X-VERSION:3", then a STREAM-INF line and
// the bare variant playlist name for each entry, every line ended by "\n".
std::string master_playlist_text(const std::vector<Rendition>& variants);

// Replaces the file at `path` with the playlist. False when the file cannot be
// created, written or closed.
bool write_master_playlist(const std::string& path, const std::vector<Rendition>& variants);
