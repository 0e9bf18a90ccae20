// A last look at what the muxer left on disk.
#pragma once

#include <string>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"

// The HLS muxer of some FFmpeg releases reports success from its trailer even
// when it could not open the last segment file. So a variant counts as created
// only when its playlist is closed and every segment it lists is a non-empty
// file whose size fits AES-128 (whole 16-byte blocks).
StepStatus check_variant_files(const std::string& playlist_name);
