// The jobs the engine runs: a whole title into its package, and the three
// kinds of part a split job is made of (the sound, one window of pictures,
// the stitch that muxes them into the package). Each opens and probes the
// input the same way and runs the same stages; what differs is what it makes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "job/job_report.h"
#include "pipeline/encode_profile.h"
#include "pipeline/job_control.h"
#include "pipeline/job_part.h"
#include "pipeline/title.h"

struct EncodeRequest {
    std::string input;
    std::string output; // the master playlist; the variants go beside it (none for a part)
    std::vector<std::string> renditions;
    std::vector<int32_t> bitrates; // paired with renditions by position
    std::string key_info;          // path of the HLS key info file
    EncodeProfile profile = specified_profile();
    JobPart part; // a split job's part: its window and its work directory
    // Subtitle files to add beside the input's own tracks.
    std::vector<Sidecar> subtitles;
    // A split job's plan's facts of the title, which its parts take as they
    // are; a whole job learns them from its own probe.
    std::optional<Title> title;
};

// Each runs on the calling thread; its lines go where `control.log` says, and
// what it did into `report`. Media failures are logged and reported, never
// thrown. Only runtime errors (memory exhaustion, a thread that cannot be
// created) leave as exceptions, and only after every started thread was
// joined. A stopped job writes no master playlist.
using JobEntry = void (*)(const EncodeRequest&, JobControl&, JobReport&);

// The whole title into its package: the source stage, one rendition stage
// per rendition, the master playlist.
void run_encode_job(const EncodeRequest& request, JobControl& control, JobReport& report);

// A split job's sound: the whole title's sound, placed and normalised as the
// whole job would, written to the work directory (report.sound_written).
void run_sound_part(const EncodeRequest& request, JobControl& control, JobReport& report);

// A split job's pictures of one window of the output grid, for every
// rendition, each to its intermediate in the work directory.
void run_pictures_part(const EncodeRequest& request, JobControl& control, JobReport& report);

// A split job's package from its parts' intermediates: each rendition muxed
// through its HLS output, then the master playlist.
void run_stitch(const EncodeRequest& request, JobControl& control, JobReport& report);
