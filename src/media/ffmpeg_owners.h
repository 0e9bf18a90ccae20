// Scope-bound owners for every FFmpeg object the system acquires. An owner
// exists from the moment its object does, so every way out of a scope
// releases what was made, in reverse order of declaration.
#pragma once

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

// Releases an input context (closing its demuxer) or an output context
// (closing its I/O handle when the muxer does not manage its own files).
// A null context is ignored.
void close_format_context(AVFormatContext* fmt_ctx);

struct FormatContextCloser {
    void operator()(AVFormatContext* fmt_ctx) const { close_format_context(fmt_ctx); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* codec_ctx) const { avcodec_free_context(&codec_ctx); }
};
struct ScalerFreer {
    void operator()(SwsContext* sws_ctx) const { sws_freeContext(sws_ctx); }
};
struct FilterGraphFreer {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
struct FilterInOutFreer {
    void operator()(AVFilterInOut* inout) const { avfilter_inout_free(&inout); }
};
struct AudioFifoFreer {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct PacketFreer {
    void operator()(AVPacket* pkt) const { av_packet_free(&pkt); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
// One option dictionary per stream, as avformat_find_stream_info takes them;
// the library may replace any of them, so the array itself is what is freed.
struct StreamDictionaries {
    std::vector<AVDictionary*> dicts;
    explicit StreamDictionaries(std::size_t count) : dicts(count, nullptr) {}
    ~StreamDictionaries() {
        for (AVDictionary*& dict : dicts)
            av_dict_free(&dict);
    }
    StreamDictionaries(const StreamDictionaries&) = delete;
    StreamDictionaries& operator=(const StreamDictionaries&) = delete;
};
struct AvioCloser {
    void operator()(AVIOContext* pb) const { avio_closep(&pb); }
};
// A pool is freed once the last buffer taken from it comes back.
struct BufferPoolReleaser {
    void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
};
struct CodecParametersFreer {
    void operator()(AVCodecParameters* par) const { avcodec_parameters_free(&par); }
};

// A decoded subtitle, whose rectangles and text the decoder allocated.
struct DecodedSubtitle {
    AVSubtitle sub{};
    DecodedSubtitle() = default;
    ~DecodedSubtitle() { avsubtitle_free(&sub); }
    DecodedSubtitle(const DecodedSubtitle&) = delete;
    DecodedSubtitle& operator=(const DecodedSubtitle&) = delete;
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFreer>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphFreer>;
using FilterInOutPtr = std::unique_ptr<AVFilterInOut, FilterInOutFreer>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using AvioContextPtr = std::unique_ptr<AVIOContext, AvioCloser>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersFreer>;
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolReleaser>;

// The library's text for a negative AVERROR code, as av_err2str gives it.
std::string av_error_text(int error);
