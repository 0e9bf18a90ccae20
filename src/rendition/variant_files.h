// A last look at what the muxer left on disk, and what it measures.
#pragma once

#include <string>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"
#include "pipeline/rendition.h"

// The HLS muxer of some FFmpeg releases reports success from its trailer even
// when it could not open the last segment file. So a variant counts as created
// only when its playlist is closed and every segment it lists is a non-empty
// file whose size fits AES-128 (whole 16-byte blocks). Its bit rates go into
// `figures`: the peak over its segments (a last segment shorter than a second
// counts only when it is the only one: its few pictures and its share of
// fixed overhead would otherwise make a peak no player ever needs to sustain)
// and the average over all of them.
StepStatus check_variant_files(const std::string& playlist_name, VariantFigures& figures);
