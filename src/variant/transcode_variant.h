// One encrypted HLS variant: the whole per-rendition pipeline on its own thread.
#pragma once

#include <cstdint>
#include <string>

// Transcodes `input_path` into the HLS variant `playlist_name` (with its
// segments beside it) at `width` x `height` and `video_bitrate`, encrypted as
// the key info file directs. Logs one SUCCESS line when the variant was
// created, or one ERROR line naming the failed step, and returns whether the
// variant was created.
bool transcode_variant(const std::string& input_path, const std::string& playlist_name,
                       int32_t width, int32_t height, int32_t video_bitrate,
                       const std::string& key_info_path);
