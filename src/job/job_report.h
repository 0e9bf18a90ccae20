// What one job did, for a caller that wants more than the log: the plan, each
// rendition's outcome and progress, the input's duration, the job's own
// failure and its master playlist.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pipeline/rendition.h"
#include "pipeline/title.h"

// What became of a subtitle rendition.
struct SubtitleOutcome {
    bool created = false;
    std::string playlist_path;
    std::string step;   // when not created: what was being done
    std::string reason; // and why (the library's text, which may be empty)
    std::vector<std::string> files_written;
};

struct JobReport {
    // Guards `plan`, `outcomes` and `input_duration_us`, which the driver sets
    // once, after the probe, while other threads may be reading progress.
    mutable std::mutex mutex;
    std::vector<Rendition> plan;
    std::vector<RenditionOutcome> outcomes; // parallel to plan
    int64_t input_duration_us = -1;         // -1 when unknown

    // Set by the driver; read once the job's thread ended.
    Title title; // what the probe (or a split job's plan) learned of the input
    std::string error; // a failure of the job itself: the text of its ERROR line
    // The input's colours and what the job does to them ("HLG BT.2020
    // 10-bit", "tone-mapped to SDR BT.709"), for a profile that converts.
    std::string source_colour;
    std::string colour_conversion;
    bool master_written = false;
    // The audio tracks a split job's sound part wrote (a title without sound
    // writes none).
    int sound_tracks_written = 0;
    // Parallel to title.subtitles.
    std::vector<SubtitleOutcome> subtitle_outcomes;
    bool stopped = false; // the job saw the stop and wrote no master playlist
};

struct RenditionSnapshot {
    std::string name;
    int64_t pictures = 0;
    int64_t written_us = 0;
};

struct ProgressSnapshot {
    int64_t input_duration_us = -1;
    // In plan order, skipped ones left out; empty before planning.
    std::vector<RenditionSnapshot> renditions;
};

// Safe from any thread while the job runs.
ProgressSnapshot read_progress(const JobReport& report);

// Removes every file the job wrote (variant and subtitle playlists and
// segments, and the master playlist at `output` when it was written), once
// its thread ended: what a stopped job leaves is no package.
void remove_job_files(const JobReport& report, const std::string& output) noexcept;
