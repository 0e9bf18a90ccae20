// One encode job: open and probe the input, plan the renditions, run the
// source stage and one rendition stage per rendition, write the master
// playlist.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Media failures are logged, never thrown. Only runtime errors (memory
// exhaustion, a thread that cannot be created) leave as exceptions, and only
// after every started thread was joined.
void run_encode_job(std::string input, std::string output, std::vector<std::string> resolution,
                    std::vector<int32_t> bitrate, std::string key);
