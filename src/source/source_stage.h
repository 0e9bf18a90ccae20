// The source stage of a job, on its own thread: it reads the input once,
// decodes the video once, converts its colours and turns it upright where the
// profile wants that, puts every picture on the output grid,
// decodes the audio once, normalises its loudness and encodes it as AAC once,
// and hands all of it to every rendition.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/ffmpeg_owners.h"
#include "media/step_status.h"
#include "pipeline/encode_profile.h"
#include "pipeline/job_control.h"
#include "source/colour_stage.h"
#include "source/fan_out.h"
#include "source/picture_orientation.h"
#include "source/source_input.h"

// Re-anchors the input's clock where a format that allows it (MPEG-TS and
// its kin) jumps back, or far ahead: every stream is shifted alike, so that
// the content after the jump goes on where the content before it ended.
struct InputClock {
    bool may_jump = false;            // the format is flagged AVFMT_TS_DISCONT
    int64_t shift = 0;                // AV_TIME_BASE, added to every timestamp
    int jumps = 0;                    // taken out so far
    std::vector<int64_t> next_dts;    // AV_TIME_BASE, per input stream
};

// Puts pictures on the encoders' grid (one tick per output picture), measured
// from the job's origin, keeping their timestamps strictly increasing.
struct PictureTimeline {
    int64_t origin = 0;                // input video stream's time base
    int64_t last_pts = AV_NOPTS_VALUE; // ticks of the output grid
    // Pictures dropped because their time lay behind one already shown (not
    // merely on the same 1/30 s tick), counted to fail rather than lose them.
    int64_t dropped_behind = 0;
};

// Where the decoded sound goes on the output timeline: every sample at the
// time its frame's timestamp gives, measured from the job's origin. Gaps get
// silence, overlaps lose their repeated samples, so that the sample count
// the encoder's clock is made of never drifts from the timestamps.
struct AudioTimeline {
    int64_t origin = 0;               // input audio stream's time base
    // The time the next sample belongs at: a start (input audio stream's time
    // base, from the origin) and the samples placed since then at one rate,
    // so that rounding never accumulates.
    int64_t run_start = 0;
    int64_t run_samples = 0;
    int run_rate = 0;                 // 0 until the first frame is placed
    // Sound dropped because its time was already placed, in seconds: a clock
    // that goes back, counted to fail rather than lose the sound behind it.
    double dropped_behind = 0;
};

// What the upright filter graph's source was configured for; a decoded
// picture of another size or pixel format makes the graph be built again.
struct PictureFormat {
    int width = 0;
    int height = 0;
    int pix_fmt = AV_PIX_FMT_NONE;
    bool operator==(const PictureFormat& other) const {
        return width == other.width && height == other.height && pix_fmt == other.pix_fmt;
    }
};

// What the loudness graph's source was configured for; a decoded frame of
// another format makes the graph be flushed and built again.
struct AudioFormat {
    int sample_rate = 0;
    int sample_fmt = AV_SAMPLE_FMT_NONE;
    std::string channel_layout; // as av_channel_layout_describe writes it
    bool operator==(const AudioFormat& other) const {
        return sample_rate == other.sample_rate && sample_fmt == other.sample_fmt &&
               channel_layout == other.channel_layout;
    }
};

// Timestamps a hostile input may carry near the ends of the range are not
// measured or shifted: arithmetic on them could overflow.
inline bool timestamp_in_range(int64_t ts) {
    constexpr int64_t LIMIT = int64_t{1} << 60;
    return ts > -LIMIT && ts < LIMIT;
}

// One audio track on its way from the input to AAC: its decoder, its place on
// the timeline, its loudness graph, its FIFO and its encoder. Members are
// declared in order of acquisition.
struct SoundBranch {
    int stream_index = -1;
    // Its number among the job's tracks: the queues that take its packets
    // name it.
    int branch = 0;
    const AVCodec* decoder = nullptr; // borrowed from the library
    CodecContextPtr audio_dec;
    CodecContextPtr audio_enc;
    FilterGraphPtr filter_graph;
    AVFilterContext* buffersrc_ctx = nullptr;  // owned by filter_graph
    AVFilterContext* buffersink_ctx = nullptr; // owned by filter_graph
    AudioFifoPtr audio_fifo;
    PacketPtr audio_pkt; // what the AAC encoder yields, before it is shared
    AudioTimeline timeline;
    AudioFormat filter_format;
    // The AAC encoder's clock: samples given to it since the origin, in its
    // 1/44100. The audio timeline keeps it on the input's timestamps.
    int64_t next_audio_pts = 0;
};

// Members are declared in order of acquisition, so they are released in the
// reverse order on every way out.
struct SourceStage {
    SourceInput input; // opened by the driver's probe
    EncodeProfile profile;
    // What this run delivers: a split job's sound part reads no pictures, its
    // pictures parts no sound and only their window of the grid, [first_tick,
    // end_tick) (end_tick -1: to the end), starting from a seek.
    bool wants_pictures = true;
    bool wants_sound = true;
    int64_t first_tick = 0;
    int64_t end_tick = -1;
    int64_t seek_position = -1; // a key picture's byte, or -1: by time
    // Pictures delivered before first_tick, for the encoders to warm up on;
    // fewer than the second the seek lands ahead of the window.
    int64_t warm_up_ticks = 0;
    // The output grid: one tick per picture of the job's constant frame rate.
    AVRational picture_time_base{1, 30};
    // The title's origin (AV_TIME_BASE): every timestamp is measured from it.
    int64_t origin_us = 0;
    // The title's audio tracks, as input stream indexes: decoded when the run
    // wants sound, only followed otherwise.
    std::vector<int> audio_streams;
    Orientation orientation; // of the input's video stream
    CodecContextPtr video_dec;
    // One per audio track decoded; none: the variants carry video only.
    std::vector<SoundBranch> sound;
    PacketPtr read_pkt;
    FramePtr decoded_frame;
    // Every picture in SDR BT.709, for a profile that wants it.
    ColourStage colour;
    // The upright filter graph, built on the first picture when the video
    // stream is shown turned or mirrored.
    FilterGraphPtr upright_graph;
    AVFilterContext* upright_src_ctx = nullptr;  // owned by upright_graph
    AVFilterContext* upright_sink_ctx = nullptr; // owned by upright_graph
    PictureFormat upright_format;
    FramePtr upright_frame;
    // The last picture delivered, repeated over a gap in the timestamps so
    // that the output keeps its constant rate.
    FramePtr held_picture;

    InputClock clock;
    // How far the streams this run reads but does not decode reach
    // (AV_TIME_BASE, from the origin): a split part's other streams.
    int64_t undecoded_end_us = 0;
    PictureTimeline timeline;

    AVStream* video_in() const { return input.video_stream(); }
    bool has_audio() const { return !sound.empty(); }
    AVStream* stream(int index) const { return input.fmt_ctx->streams[index]; }
    SoundBranch* branch_of(int stream_index) {
        for (SoundBranch& branch : sound)
            if (branch.stream_index == stream_index)
                return &branch;
        return nullptr;
    }
};

// The thread's routine. It ends every queue of `out` before it returns:
// closed after the last item, or aborted with the reason the source failed.
void run_source_stage(SourceStage& source, FanOut& out, JobControl& control) noexcept;

// Setup (source_setup.cpp): audio stream, decoders, AAC encoder, loudness
// graph, FIFO and work buffers. Also tells every rendition how the audio is
// encoded, or that there is none.
StepStatus set_up_source(SourceStage& source, FanOut& out, JobLog& log);

// The decoded picture in SDR BT.709 (colour_stage.cpp): the decoded picture
// itself when it is already, or the converted one in
// `source.colour.converted`, which the caller unreferences once delivered.
StepStatus convert_colour(SourceStage& source, AVFrame* decoded, AVFrame*& converted);

// The picture as it is meant to be shown (upright_filter.cpp): the picture
// itself, or the upright graph's output in `source.upright_frame`, which the
// caller unreferences once delivered.
StepStatus turn_upright(SourceStage& source, AVFrame* picture, const AVFrame*& shown);

// The loudness graph of a track, abuffer -> loudnorm and aformat ->
// abuffersink, for decoded audio of `format` (loudness_filter.cpp).
StepStatus build_loudness_filter(const SourceStage& source, SoundBranch& branch,
                                 const AudioFormat& format);
AudioFormat audio_format_of(int sample_rate, int sample_fmt, const AVChannelLayout& layout);

// The input's clock (input_clock.cpp): the packets' timestamps with the
// format's jumps taken out; the reach of a stream the run does not decode.
void start_input_clock(InputClock& clock, const AVFormatContext& fmt_ctx);
void steady_packet_timestamps(InputClock& clock, const AVFormatContext& fmt_ctx, AVPacket* pkt);
void note_undecoded_packet(SourceStage& source, const AVPacket* pkt);

// Whether filling (silence, a held first picture) may reach `until`
// (AV_TIME_BASE, from the origin): no further than 10 seconds beyond the
// content placed so far in either stream (or read, of a stream not decoded). A pause in one stream is filled
// while the other goes on; a timestamp further ahead of both is a broken
// clock, which no amount of filling should follow.
bool fill_may_reach(const SourceStage& source, int64_t until);

// Reads from the keyframe before the window's first picture, so that a
// pictures part decodes only a short lead-in (source_stage.cpp).
StepStatus seek_to_window(SourceStage& source);

// Whether the read loop has every picture of the window.
bool window_complete(const SourceStage& source);

// Video (source_video.cpp): decodes the read packet, or drains the decoder
// when `pkt` is null, and delivers every picture that gets a place on the grid.
StepStatus decode_video(SourceStage& source, FanOut& out, const AVPacket* pkt);

// Audio (source_audio.cpp): decodes the read packet of a track through its
// loudness graph into its FIFO and encodes every whole AAC frame.
StepStatus decode_audio(SourceStage& source, SoundBranch& branch, FanOut& out,
                        const AVPacket* pkt);

// End of a track: drains its decoder and graph into its FIFO, encodes the
// FIFO's tail and flushes its encoder.
StepStatus finish_audio(SourceStage& source, SoundBranch& branch, FanOut& out);
