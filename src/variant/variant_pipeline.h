// The objects one variant worker owns, and the step results its routines pass up.
#pragma once

#include <cstdint>
#include <string>

#include "variant/ffmpeg_owners.h"
#include "variant/input_context.h"

// The outcome of one step: empty on success, otherwise what was being done and
// the library's negative AVERROR code, kept for the one line that reports it.
struct StepStatus {
    const char* step = nullptr;
    int error = 0;
    bool failed() const { return step != nullptr; }
};

inline StepStatus step_ok() {
    return {};
}
inline StepStatus step_failed(const char* step, int error) {
    return {step, error};
}

// Rebuilds the video timeline on the encoder's 1/30 grid, keeping it strictly
// increasing, and remembers each picture's duration until its packet comes out.
struct VideoTimeline {
    // Ticks of the encoder time base a packet can stay inside the encoder
    // (lookahead, B-pictures, frame threads) and still find its duration.
    static constexpr int64_t DURATION_SLOTS = 512;
    int64_t origin = 0;                         // input stream time base
    int64_t last_pts = AV_NOPTS_VALUE;          // encoder time base
    int64_t slot_pts[DURATION_SLOTS] = {};      // encoder time base
    int64_t slot_duration[DURATION_SLOTS] = {}; // output stream time base
};

// What the output's file callbacks (output_setup.cpp) learned: the muxer opens
// and closes its segment and playlist files without always looking at the
// result, so a missing directory or a full disk could still end in a reported
// success.
struct OutputFiles {
    // The first failed open for writing or failed write, as a negative
    // AVERROR, or 0.
    int first_error = 0;
    // The library's own opener, which ours wraps.
    decltype(AVFormatContext::io_open) library_io_open = nullptr;
};

// Members are declared in order of acquisition, so they are released in the
// reverse order on every way out of the worker.
struct VariantPipeline {
    InputGate input_gate; // must outlive `input`
    FormatContextPtr input;
    int video_index = -1;
    int audio_index = -1;
    const AVCodec* video_decoder = nullptr; // borrowed from the library
    const AVCodec* audio_decoder = nullptr; // borrowed from the library
    CodecContextPtr video_dec;
    CodecContextPtr audio_dec;
    CodecContextPtr video_enc;
    CodecContextPtr audio_enc;
    // Must outlive `output`, whose callbacks record into it until it is freed.
    OutputFiles output_files;
    FormatContextPtr output;
    AVStream* video_out = nullptr; // owned by `output`
    AVStream* audio_out = nullptr; // owned by `output`
    bool header_written = false;
    std::string playlist_stem;
    std::string segment_pattern;
    ScalerPtr scaler;
    FilterGraphPtr filter_graph;
    AVFilterContext* buffersrc_ctx = nullptr;  // owned by `filter_graph`
    AVFilterContext* buffersink_ctx = nullptr; // owned by `filter_graph`
    AudioFifoPtr audio_fifo;
    PacketPtr read_pkt;
    PacketPtr enc_pkt;
    FramePtr decoded_frame;
    FramePtr scaled_frame;

    VideoTimeline video_timeline;
    // Audio timestamps count samples from zero, in the audio encoder's 1/44100.
    int64_t next_audio_pts = 0;

    AVStream* video_in() const { return input->streams[video_index]; }
    AVStream* audio_in() const { return input->streams[audio_index]; }
};
