// One encode job: open and probe the input, plan the renditions, run the
// source stage and one rendition stage per rendition, write the master
// playlist.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/job_report.h"
#include "pipeline/encode_profile.h"
#include "pipeline/job_control.h"
#include "pipeline/job_part.h"

struct EncodeRequest {
    std::string input;
    std::string output; // the master playlist; the variants go beside it
    std::vector<std::string> renditions;
    std::vector<int32_t> bitrates; // paired with renditions by position
    std::string key_info;          // path of the HLS key info file
    EncodeProfile profile = specified_profile();
    JobPart part; // the whole title unless a split job's task says otherwise
};

// Runs the job on the calling thread; its lines go where `control.log` says,
// and what it did into `report`. Media failures are logged and reported,
// never thrown. Only runtime errors (memory exhaustion, a thread that cannot
// be created) leave as exceptions, and only after every started thread was
// joined. A job stopped through `control` writes no master playlist.
void run_encode_job(const EncodeRequest& request, JobControl& control, JobReport& report);
