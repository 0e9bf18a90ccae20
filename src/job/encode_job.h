// One encode job: probe the input, plan the renditions, run one worker per
// rendition, write the master playlist.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Media failures are logged, never thrown. Only runtime errors (memory
// exhaustion, a thread that cannot be created) leave as exceptions, and only
// after every started worker was joined.
void run_encode_job(std::string input, std::string output, std::vector<std::string> resolution,
                    std::vector<int32_t> bitrate, std::string key);

// Where the variant files of a job go: the directory part of `output`, as
// given, so that the master playlist's bare URIs resolve beside it.
std::string variant_directory(const std::string& output);
