// The source stage of a job, on its own thread: it reads the input once,
// decodes the video once and puts every picture on the 1/30 s output grid,
// decodes the audio once, normalises its loudness and encodes it as AAC once,
// and hands all of it to every rendition.
#pragma once

#include <cstdint>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"
#include "pipeline/job_control.h"
#include "source/fan_out.h"
#include "source/source_input.h"

// Puts pictures on the encoders' 1/30 s grid, keeping their timestamps
// strictly increasing.
struct PictureTimeline {
    int64_t origin = 0;                // input video stream's time base
    int64_t last_pts = AV_NOPTS_VALUE; // 1/30 s ticks
};

// Members are declared in order of acquisition, so they are released in the
// reverse order on every way out.
struct SourceStage {
    SourceInput input; // opened by the driver's probe
    int audio_index = -1;
    const AVCodec* audio_decoder = nullptr; // borrowed from the library
    CodecContextPtr video_dec;
    CodecContextPtr audio_dec;
    CodecContextPtr audio_enc;
    FilterGraphPtr filter_graph;
    AVFilterContext* buffersrc_ctx = nullptr;  // owned by filter_graph
    AVFilterContext* buffersink_ctx = nullptr; // owned by filter_graph
    AudioFifoPtr audio_fifo;
    PacketPtr read_pkt;
    PacketPtr audio_pkt; // what the AAC encoder yields, before it is shared
    FramePtr decoded_frame;

    PictureTimeline timeline;
    // Audio timestamps count samples from zero, in the AAC encoder's 1/44100.
    int64_t next_audio_pts = 0;

    AVStream* video_in() const { return input.video_stream(); }
    AVStream* audio_in() const { return input.fmt_ctx->streams[audio_index]; }
};

// The thread's routine. It ends every queue of `out` before it returns:
// closed after the last item, or aborted with the reason the source failed.
void run_source_stage(SourceStage& source, FanOut& out, const JobControl& control) noexcept;

// Setup (source_setup.cpp): audio stream, decoders, AAC encoder, loudness
// graph, FIFO and work buffers. Also tells every rendition how the audio is
// encoded.
StepStatus set_up_source(SourceStage& source, FanOut& out);

// The loudness graph, abuffer -> loudnorm -> aformat -> abuffersink
// (loudness_filter.cpp).
StepStatus build_loudness_filter(SourceStage& source);

// Video (source_video.cpp): decodes the read packet, or drains the decoder
// when `pkt` is null, and delivers every picture that gets a place on the grid.
StepStatus decode_video(SourceStage& source, FanOut& out, const AVPacket* pkt);

// Audio (source_audio.cpp): decodes the read packet through the loudness
// graph into the FIFO and encodes every whole AAC frame.
StepStatus decode_audio(SourceStage& source, FanOut& out, const AVPacket* pkt);

// End of the audio: drains the decoder and the graph into the FIFO, encodes
// the FIFO's tail and flushes the encoder.
StepStatus finish_audio(SourceStage& source, FanOut& out);
