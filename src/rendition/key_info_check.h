// A look at the key info file before the HLS muxer takes it.
#pragma once

#include <string>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"

// Reads the key info file and the key file it names the way the HLS muxer
// will, and fails, naming what is wrong, where the muxer's header would fail:
// a file that cannot be read, no key URI, no key file, a key shorter than 16
// bytes. FFmpeg 5.1's muxer loses a buffer each time its header fails, so a
// long-lived process with a misconfigured key would grow with every job.
StepStatus check_key_info(const std::string& key_info_path);
