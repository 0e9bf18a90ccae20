// What a split job's part needs besides the title: where its intermediates
// go, and which share of the title it makes. A split job is one sound part,
// one pictures part per window of the output grid, and a stitch that only
// muxes what they wrote into the package.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct JobPart {
    // pictures: the window [first_tick, end_tick) of the output grid (one tick
    // per output picture, from the job's origin); end_tick -1 runs to the end.
    int64_t first_tick = 0;
    int64_t end_tick = -1;
    // Where to start reading for it: a key picture's byte, from the plan's
    // scan of a title without an index (MPEG-TS), or -1 to seek by time.
    int64_t seek_position = -1;
    // Where the intermediates are written and read: the job's work directory.
    std::string work_dir;
    // stitch: the first tick of every pictures window, in order, and how many
    // audio tracks the sound part wrote (a title without sound has none).
    std::vector<int64_t> window_starts;
    int sound_tracks = 1;
};

// The intermediate files in the work directory: NUT keeps every stream's own
// time base, so the stitch gets back the encoders' timestamps exactly.
inline std::string sound_file(const std::string& work_dir, int track) {
    return work_dir + "/sound." + std::to_string(track) + ".nut";
}
inline std::string pictures_file(const std::string& work_dir, const std::string& rendition,
                                 int64_t first_tick) {
    return work_dir + "/" + rendition + "." + std::to_string(first_tick) + ".nut";
}
// Where a part writes before the file is whole; renamed into place after.
inline std::string partial_name(const std::string& path) {
    return path + ".partial";
}
