// The parts of a split job that are not the whole-title pipeline: the sound
// part's writer and the stitch, which only muxes what the parts wrote.
#pragma once

#include <string>

#include "job/job_report.h"
#include "media/step_status.h"
#include "pipeline/encode_profile.h"
#include "pipeline/job_control.h"
#include "pipeline/job_part.h"
#include "pipeline/media_item.h"

// Takes the source's items until it closes the queue and writes its AAC
// packets, as every variant would mux them, to `path` (under its partial name
// until whole). A title without sound writes nothing and sets `wrote` false.
// A failure of the source comes back as the step "the source stage failed"
// with its reason in `why`.
StepStatus write_sound_part(MediaQueue& in, const std::string& path, const JobControl& control,
                            bool& wrote, std::string& why);

// Muxes each planned rendition of `report` from its pictures parts, in the
// order of `part.window_starts`, with the sound part, through the variant's
// HLS output; records each outcome as a rendition stage would.
void stitch_renditions(const JobPart& part, const EncodeProfile& profile,
                       const std::string& key_info_path, JobControl& control, JobReport& report);
