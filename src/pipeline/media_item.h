// What the source stage hands each rendition, in the order the rendition must
// use it: the audio stream's parameters first, then pictures and encoded audio
// packets interleaved as the input delivers them, the end of the video, the
// rest of the audio. The end of the stream is the queue being closed; a
// failure of the source is the queue being aborted with its reason.
#pragma once

#include <cstdint>
#include <memory>

#include "media/ffmpeg_owners.h"
#include "pipeline/stage_queue.h"

// The encoded audio every rendition muxes: the source's AAC encoder, described
// once for all of them. Immutable once sent.
struct AudioStreamParameters {
    CodecParametersPtr codecpar;
    AVRational time_base; // of the packets that follow
};


// A length of time with the base it is counted in.
struct MediaDuration {
    int64_t value = 0;
    AVRational time_base{1, 1};
};

struct MediaItem {
    enum class Kind { audio_parameters, picture, audio_packet, video_end };
    Kind kind = Kind::picture;
    // Kind::audio_parameters
    std::shared_ptr<const AudioStreamParameters> audio;
    // Kind::picture: a reference to the decoded picture, read-only because
    // every rendition shares its buffers; pts in ticks of the job's output grid.
    FramePtr picture;
    MediaDuration picture_duration;
    // Kind::audio_packet: this rendition's own reference to an encoded packet,
    // timed in AudioStreamParameters::time_base.
    PacketPtr audio_packet;
};

using MediaQueue = StageQueue<MediaItem>;
