// One planned rendition of a job, as it travels from the plan to its stage and
// into the master playlist, and what became of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/picture_clock.h"

// Time zero of renditions that share a clock: ten seconds into the MPEG-TS
// clock, ahead of any stream's first decoding time (B-pictures and the audio
// encoder's priming start a little before zero).
inline constexpr int64_t SHARED_MPEGTS_ZERO_90K = 10 * 90000;

struct Rendition {
    std::string name; // as the caller gave it, for example "720p"
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitrate = 0; // video, bits per second
    // Where the variant playlist goes: beside the master playlist, named after
    // the rendition. Its segments are named after the same stem.
    std::string playlist_path;
    // A pictures part writes the encoded pictures here (under their partial
    // name until whole) instead of a variant; empty for a variant.
    std::string intermediate_path;
    // A pictures part's first tick: the pictures before it only warm the
    // encoder's rate control up, their packets are dropped, and the picture
    // on it is forced to be a key picture. 0 for everything else.
    int64_t window_start = 0;
    PictureClock clock; // the job's, the same for every rendition
    // A rendition of one of the title's audio tracks (when it has several):
    // no pictures, that track's sound alone. -1 for a video rendition.
    int audio_track = -1;
    // The variants and audio renditions of a title with several audio tracks
    // play together, so every muxer keeps the job's timestamps where they
    // are (on the MPEG-TS clock at SHARED_MPEGTS_ZERO_90K) rather than moving
    // its own first one to zero: one clock for all of them.
    bool shares_mpegts_zero = false;
    // Why the rendition is not made (its frame would be larger than the
    // source), or empty when it is.
    std::string skip_reason;
};

// What the written variant measures, for the master playlist and the caller.
struct VariantFigures {
    int64_t peak_bps = 0;    // the highest segment bit rate, bytes * 8 / EXTINF
    int64_t average_bps = 0; // all segment bytes * 8 / all EXTINF
};

// How far a rendition got, kept up to date by its thread while it runs and
// read by any thread at any time.
struct RenditionProgress {
    std::atomic<int64_t> pictures{0};   // encoded and written
    std::atomic<int64_t> written_us{0}; // media time written, microseconds
};

// Written by the rendition's own thread, read by the driver after the join
// (except `progress`).
struct RenditionOutcome {
    bool created = false;
    // When not created: what was being done, and why it failed (the library's
    // text, which may be empty).
    std::string step;
    std::string reason;
    RenditionProgress progress;
    // Every file the variant's muxer opened for writing, so that the files of
    // a stopped job can be removed.
    std::vector<std::string> files_written;
    // Of a created variant: the RFC 6381 codecs its streams need
    // ("avc1.64001f,mp4a.40.2") and what its files measure.
    std::string codecs;
    VariantFigures figures;
    // Where the muxer put the output's time zero on the MPEG-TS clock
    // (90 kHz): it moves every timestamp so that none is negative. What a
    // subtitle rendition's X-TIMESTAMP-MAP names.
    int64_t mpegts_zero = 0;
};

// "step: reason", or the step alone when there is no reason: the text the
// variant's ERROR line gives.
inline std::string failure_text(const RenditionOutcome& outcome) {
    return outcome.reason.empty() ? outcome.step : outcome.step + ": " + outcome.reason;
}
