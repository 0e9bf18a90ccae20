// Builds a variant worker's pipeline, step by step, before its first read.
#pragma once

#include <string>

#include "variant/variant_pipeline.h"

// Every object of the pipeline, in order of acquisition: input and decoders,
// encoders, the encrypted HLS output (header written), the loudness filter
// graph, the audio FIFO and the work buffers.
StepStatus set_up_variant(VariantPipeline& pipeline, const std::string& input_path,
                          const std::string& playlist_name, int32_t width, int32_t height,
                          int32_t video_bitrate, const std::string& key_info_path);

// The HLS output with both streams, its muxer options and its header
// (output_setup.cpp).
StepStatus open_hls_output(VariantPipeline& pipeline, const std::string& playlist_name,
                           const std::string& key_info_path);

// The playlist name up to its last ".", or the whole name when it has none.
std::string playlist_stem_of(const std::string& playlist_name);

// abuffer -> loudnorm -> aformat -> abuffersink (audio_filter.cpp).
StepStatus build_audio_filter(VariantPipeline& pipeline);
