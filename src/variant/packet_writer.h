// The one way encoded packets reach a variant's HLS output.
#pragma once

#include "variant/variant_pipeline.h"

// Sends `frame` (nullptr: end of stream) to the encoder and writes every
// packet it yields to `out_stream`, until the encoder wants more input or has
// ended. With a `timeline`, video packets get the durations it remembers, so
// that the muxer can time its segments exactly.
StepStatus encode_and_write(AVCodecContext* enc_ctx, AVFormatContext* out_ctx, AVStream* out_stream,
                            const AVFrame* frame, AVPacket* enc_pkt,
                            const VideoTimeline* timeline = nullptr);

// Remembers the duration (in the output stream's time base) of the picture
// sent with encoder timestamp `pts`.
void remember_video_duration(VideoTimeline& timeline, int64_t pts, int64_t duration);
