// A package's subtitle renditions: each text subtitle track of the title (a
// stream of the input, or a sidecar file) read on its own, and written as
// WebVTT segments cut where the video's segments are cut, with the playlist
// that lists them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/encode_job.h"
#include "rendition/key_info_check.h"

// One cue: when it is shown, on the output's clock (microseconds from the
// title's origin), and its WebVTT text.
struct Cue {
    int64_t start_us = 0;
    int64_t end_us = 0;
    std::string text;
};

// Writes a rendition of every subtitle track of `report.title` beside the
// master playlist, on the segments of the first created video variant, and
// records each one's outcome in `report.subtitle_outcomes`.
void write_subtitle_renditions(const EncodeRequest& request, JobReport& report,
                               JobControl& control);

// The cues' WebVTT segments and playlist (`stem`.m3u8, `stem`_000.vtt, ...)
// in `directory`: one segment per video segment of `seconds` (the EXTINF
// durations), each with every cue shown during it and an X-TIMESTAMP-MAP
// that puts the output's time zero at `mpegts_zero` on the MPEG-TS clock,
// each encrypted with `key` as the variants' segments are. Returns every
// file written; throws nothing, leaves `step` empty on success.
std::vector<std::string> write_webvtt(const std::string& directory, const std::string& stem,
                                      const std::vector<Cue>& cues,
                                      const std::vector<double>& seconds, int64_t mpegts_zero,
                                      int target_duration, const SegmentKey& key,
                                      std::string& step);
