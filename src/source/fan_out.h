// The source's side of the rendition queues: every rendition still listening
// gets its own reference to each item. A rendition that failed aborts its
// queue; from then on the source skips it and never waits for it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "media/step_status.h"
#include "pipeline/media_item.h"

struct FanOut {
    std::vector<MediaQueue*> queues; // one per rendition, in plan order
    std::vector<char> detached;      // parallel to queues
    // What each queue takes: the pictures, and the packets of which audio
    // track (-1: none). Parallel to queues.
    std::vector<char> takes_pictures;
    std::vector<int> audio_track;
};

// Every queue takes the pictures and the first audio track's packets (one
// sound muxed into every variant), until told otherwise.
FanOut fan_out_to(const std::vector<MediaQueue*>& queues);

bool anyone_listening(const FanOut& out);

// Each queue its audio track's parameters, or none.
void deliver_audio_parameters(
    FanOut& out, const std::vector<std::shared_ptr<const AudioStreamParameters>>& tracks);

// `picture` stays the caller's; each rendition gets a reference with `pts`
// (ticks of the output grid) in place of the decoder's.
StepStatus deliver_picture(FanOut& out, const AVFrame* picture, int64_t pts,
                           MediaDuration duration);

StepStatus deliver_audio_packet(FanOut& out, int track, const AVPacket* pkt);

void deliver_video_end(FanOut& out);

// The end of the stream: every queue delivers what it holds, then ends.
void close_all(FanOut& out);

// The source failed or the job was cancelled: every rendition ends with `why`.
void abort_all(FanOut& out, const std::string& why);
