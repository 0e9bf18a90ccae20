// A split job's intermediate files: one stream each, in NUT, which keeps the
// stream's own time base and every timestamp as it is, so that the stitch
// gets back exactly what the whole title's encoders would have handed on.
#pragma once

#include <string>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"

// Opens `path` for writing one stream of `par`, timed in `time_base`, and
// writes its header. Every timestamp is kept as it is, negative ones too
// (the AAC encoder's priming, a chunk's first decoding times): shifting them
// would move the stream against the others. NUT takes no negative
// presentation time, so the file holds each one a fixed second later, which
// read_nut_packet takes off again.
StepStatus open_nut_output(const std::string& path, const AVCodecParameters& par,
                           AVRational time_base, FormatContextPtr& output, AVStream*& stream);

// Opens one of these files for reading: demuxed as NUT and nothing else,
// through the file protocol and nothing else.
StepStatus open_nut_input(const std::string& path, FormatContextPtr& input);

// The file's next packet with the timestamps it was written with; what
// av_read_frame returns.
int read_nut_packet(AVFormatContext* input, AVPacket* pkt);
