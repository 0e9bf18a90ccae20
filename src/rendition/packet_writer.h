// The one way packets reach a variant's HLS output.
#pragma once

#include "rendition/rendition_stage.h"

// Sends `frame` (nullptr: end of stream) to the H.264 encoder and writes every
// packet it yields, with the duration remembered for its picture, so that the
// muxer can time its segments exactly.
StepStatus encode_and_write_video(RenditionStage& stage, const AVFrame* frame);

// Writes one packet a pictures part encoded (a stitch); takes its reference.
StepStatus write_video_packet(RenditionStage& stage, AVPacket* pkt, AVRational time_base);

// Writes one of the source's AAC packets; takes its reference.
StepStatus write_audio_packet(RenditionStage& stage, AVPacket* pkt, AVRational time_base);

// Remembers the duration (in the video output stream's time base) of the
// picture sent with encoder timestamp `pts`.
void remember_picture_duration(PictureDurations& durations, int64_t pts, int64_t duration);
