// The master playlist: the job's own file, listing each variant with its
// bandwidth and frame size.
#pragma once

#include <string>
#include <vector>

#include "pipeline/rendition.h"

// A created variant: what was planned and what it became.
struct MasterEntry {
    const Rendition* rendition;
    const RenditionOutcome* outcome;
};

enum class MasterStyle {
    // BANDWIDTH the nominal video bitrate, and RESOLUTION.
    specified,
    // What players need to choose: BANDWIDTH and AVERAGE-BANDWIDTH measured
    // from the segments, CODECS, RESOLUTION and FRAME-RATE, and every segment
    // declared independent.
    measured,
};

// The playlist text: "#EXTM3U", "#EXT-X-VERSION:3", then a STREAM-INF line and
// the bare variant playlist name for each entry, every line ended by "\n".
std::string master_playlist_text(const std::vector<MasterEntry>& variants, MasterStyle style);

// Replaces the file at `path` with the playlist. False when the file cannot be
// created, written or closed.
bool write_master_playlist(const std::string& path, const std::vector<MasterEntry>& variants,
                           MasterStyle style);
