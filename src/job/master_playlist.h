// The master playlist: the job's own file, listing each variant with its
// bandwidth and frame size.
#pragma once

#include <string>
#include <vector>

#include "pipeline/rendition.h"
#include "pipeline/title.h"

// A created variant: what was planned and what it became.
struct MasterEntry {
    const Rendition* rendition;
    const RenditionOutcome* outcome;
};

// The renditions the variants name by group (EXT-X-MEDIA): each audio
// track's, when the title has several, and each subtitle track's.
struct AudioMedia {
    MasterEntry entry;
    const AudioTrack* track;
};
struct SubtitleMedia {
    const SubtitleTrack* track;
    std::string uri; // its playlist, beside the master playlist
};
struct MasterMedia {
    std::vector<AudioMedia> audio;
    std::vector<SubtitleMedia> subtitles;
};

enum class MasterStyle {
    // BANDWIDTH the nominal video bitrate, and RESOLUTION.
    specified,
    // What players need to choose: BANDWIDTH and AVERAGE-BANDWIDTH measured
    // from the segments, CODECS, RESOLUTION and FRAME-RATE, and every segment
    // declared independent.
    measured,
};

// The playlist text: "#EXTM3U", "#EXT-X-VERSION:3", the media renditions'
// EXT-X-MEDIA lines, then a STREAM-INF line and the bare variant playlist
// name for each entry, every line ended by "\n".
std::string master_playlist_text(const std::vector<MasterEntry>& variants, MasterStyle style,
                                 const MasterMedia& media = {});

// Replaces the file at `path` with the playlist. False when the file cannot be
// created, written or closed.
bool write_master_playlist(const std::string& path, const std::vector<MasterEntry>& variants,
                           MasterStyle style, const MasterMedia& media = {});
