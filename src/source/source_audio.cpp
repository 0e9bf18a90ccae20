// The audio of the source stage, track by track: decode once, normalise the
// loudness once, cut whole encoder frames from the FIFO, encode AAC once,
// hand every packet to the renditions that carry the track.
#include <algorithm>

#include "source/source_stage.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace {

// One AAC frame, the encoder's unit and the tolerance of the audio timeline.
constexpr int64_t AUDIO_FRAME_SAMPLES = 1024;
constexpr int64_t OUTPUT_SAMPLE_RATE = 44100;
// Overlapping sound dropped over the whole input: a little is the rounding of
// an input's clock, more is a clock that went back over content.
constexpr double MAX_AUDIO_BEHIND_SECONDS = 1.0;

// Appends a filtered frame's samples to the FIFO, growing it first.
StepStatus store_in_fifo(SoundBranch& a, const AVFrame* filtered) {
    AVAudioFifo* fifo = a.audio_fifo.get();
    int ret = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples);
    if (ret < 0)
        return step_failed("could not grow the audio FIFO", ret);
    ret = av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                              filtered->nb_samples);
    if (ret < filtered->nb_samples)
        return step_failed("could not store audio in the FIFO", ret < 0 ? ret : AVERROR(EIO));
    return step_ok();
}

// Sends a frame (null: the end) to the AAC encoder and shares every packet it
// yields.
StepStatus encode_audio(SoundBranch& a, FanOut& out, const AVFrame* frame) {
    AVPacket* pkt = a.audio_pkt.get();
    int ret = avcodec_send_frame(a.audio_enc.get(), frame);
    if (ret < 0)
        return step_failed("could not encode audio", ret);
    for (;;) {
        ret = avcodec_receive_packet(a.audio_enc.get(), pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not encode audio", ret);
        const StepStatus status = deliver_audio_packet(out, a.branch, pkt);
        av_packet_unref(pkt);
        if (status.failed())
            return status;
    }
}

// Encodes `nb_samples` samples from the head of the FIFO as one frame, timed
// by the sample counter, which the audio timeline keeps on the input's clock.
StepStatus encode_from_fifo(SoundBranch& a, FanOut& out, int nb_samples) {
    const AVCodecContext* enc_ctx = a.audio_enc.get();
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return step_failed("could not allocate an audio frame", AVERROR(ENOMEM));
    frame->nb_samples = nb_samples;
    int ret = av_channel_layout_copy(&frame->ch_layout, &enc_ctx->ch_layout);
    if (ret < 0)
        return step_failed("could not allocate an audio frame", ret);
    frame->format = enc_ctx->sample_fmt;
    frame->sample_rate = enc_ctx->sample_rate;
    ret = av_frame_get_buffer(frame.get(), 0);
    if (ret < 0)
        return step_failed("could not allocate an audio frame", ret);
    ret = av_audio_fifo_read(a.audio_fifo.get(), reinterpret_cast<void**>(frame->data), nb_samples);
    if (ret < nb_samples)
        return step_failed("could not read audio from the FIFO", ret < 0 ? ret : AVERROR(EIO));
    frame->pts = a.next_audio_pts;
    a.next_audio_pts += nb_samples;
    return encode_audio(a, out, frame.get());
}

// Encodes every whole encoder frame the FIFO holds; a remainder waits for more.
StepStatus encode_whole_frames(SoundBranch& a, FanOut& out) {
    const int frame_size = a.audio_enc->frame_size;
    while (av_audio_fifo_size(a.audio_fifo.get()) >= frame_size) {
        const StepStatus status = encode_from_fifo(a, out, frame_size);
        if (status.failed())
            return status;
    }
    return step_ok();
}

// Pulls every frame the filter graph has ready into the FIFO, encoding whole
// frames as they fill up when `encode` is set (during the read loop), or only
// storing them (at the end of the stream, where the tail is cut last).
StepStatus pull_filtered_audio(SoundBranch& a, FanOut& out, bool encode) {
    for (;;) {
        FramePtr filtered(av_frame_alloc());
        if (!filtered)
            return step_failed("could not allocate a filtered audio frame", AVERROR(ENOMEM));
        const int ret = av_buffersink_get_frame(a.buffersink_ctx, filtered.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return step_ok();
        if (ret < 0)
            return step_failed("could not filter audio", ret);
        StepStatus status = store_in_fifo(a, filtered.get());
        if (!status.failed() && encode)
            status = encode_whole_frames(a, out);
        if (status.failed())
            return status;
    }
}

// Ends the graph's input and takes everything it still holds into the FIFO.
StepStatus flush_filter(SoundBranch& a, FanOut& out, bool encode) {
    const int ret = av_buffersrc_add_frame_flags(a.buffersrc_ctx, nullptr, 0);
    if (ret < 0)
        return step_failed("could not flush the audio filter", ret);
    return pull_filtered_audio(a, out, encode);
}

// Hands a frame to the loudness graph. A frame of another sample rate, sample
// format or channel layout than the graph was built for (the input changed
// mid-stream) first has the old graph flushed into the FIFO, so that no
// sample is lost, and a graph built for it.
StepStatus feed_filter(const SourceStage& s, SoundBranch& a, FanOut& out, AVFrame* frame,
                       bool encode) {
    const AudioFormat format = audio_format_of(frame->sample_rate, frame->format, frame->ch_layout);
    if (!(format == a.filter_format)) {
        StepStatus status = flush_filter(a, out, encode);
        if (!status.failed())
            status = build_loudness_filter(s, a, format);
        if (status.failed())
            return status;
    }
    // The source takes the frame's references; the unref covers a refusal.
    const int ret = av_buffersrc_add_frame_flags(a.buffersrc_ctx, frame, 0);
    av_frame_unref(frame);
    if (ret < 0)
        return step_failed("could not feed the audio filter", ret);
    return pull_filtered_audio(a, out, encode);
}

// Silence in the format of `like`, for `nb_samples` samples from `pts`.
StepStatus feed_silence(const SourceStage& s, SoundBranch& a, FanOut& out, const AVFrame* like,
                        int64_t nb_samples, int64_t pts, bool encode) {
    // In pieces, so that a long gap needs no long buffer.
    constexpr int64_t PIECE = 8192;
    const AVRational sample_time{1, like->sample_rate};
    const AVRational time_base = s.stream(a.stream_index)->time_base;
    for (int64_t done = 0; done < nb_samples;) {
        FramePtr silence(av_frame_alloc());
        if (!silence)
            return step_failed("could not fill a gap in the audio", AVERROR(ENOMEM));
        silence->format = like->format;
        silence->sample_rate = like->sample_rate;
        int ret = av_channel_layout_copy(&silence->ch_layout, &like->ch_layout);
        silence->nb_samples = static_cast<int>(std::min(PIECE, nb_samples - done));
        if (ret >= 0)
            ret = av_frame_get_buffer(silence.get(), 0);
        if (ret < 0)
            return step_failed("could not fill a gap in the audio", ret);
        av_samples_set_silence(silence->extended_data, 0, silence->nb_samples,
                               silence->ch_layout.nb_channels,
                               static_cast<AVSampleFormat>(silence->format));
        silence->pts = pts + av_rescale_q(done, sample_time, time_base);
        done += silence->nb_samples;
        const StepStatus status = feed_filter(s, a, out, silence.get(), encode);
        if (status.failed())
            return status;
    }
    return step_ok();
}

// Drops the first `nb_samples` samples of the frame: they repeat sound that
// is already placed.
StepStatus drop_leading_samples(AVFrame* frame, int nb_samples, AVRational time_base) {
    FramePtr rest(av_frame_alloc());
    if (!rest)
        return step_failed("could not trim overlapping audio", AVERROR(ENOMEM));
    rest->format = frame->format;
    rest->sample_rate = frame->sample_rate;
    rest->nb_samples = frame->nb_samples - nb_samples;
    int ret = av_channel_layout_copy(&rest->ch_layout, &frame->ch_layout);
    if (ret >= 0)
        ret = av_frame_get_buffer(rest.get(), 0);
    if (ret >= 0)
        ret = av_frame_copy_props(rest.get(), frame);
    if (ret < 0)
        return step_failed("could not trim overlapping audio", ret);
    av_samples_copy(rest->extended_data, frame->extended_data, 0, nb_samples, rest->nb_samples,
                    frame->ch_layout.nb_channels, static_cast<AVSampleFormat>(frame->format));
    rest->pts = frame->best_effort_timestamp +
                av_rescale_q(nb_samples, AVRational{1, frame->sample_rate}, time_base);
    av_frame_unref(frame);
    av_frame_move_ref(frame, rest.get());
    return step_ok();
}

// The time (input audio stream's time base, from the origin) the next sample
// belongs at.
int64_t placed_until(const AudioTimeline& t, AVRational time_base) {
    return t.run_start + av_rescale_q(t.run_samples, AVRational{1, t.run_rate}, time_base);
}

// Places a decoded frame on the output timeline by its own timestamp and hands
// it to the graph: silence first where it starts later than the sound placed
// so far, its repeated samples dropped where it starts earlier. Differences
// below one output audio frame are left alone: they are the rounding of the
// input's clock, and the encoder's clock stays within one frame of it.
StepStatus place_decoded_audio(const SourceStage& s, SoundBranch& a, FanOut& out, AVFrame* frame,
                               bool encode) {
    AudioTimeline& t = a.timeline;
    const int rate = frame->sample_rate;
    const int64_t ts = frame->best_effort_timestamp;
    if (rate <= 0 || ts == AV_NOPTS_VALUE || !timestamp_in_range(ts)) {
        // Taken to follow the sound placed before it.
        if (rate == t.run_rate)
            t.run_samples += frame->nb_samples;
        return feed_filter(s, a, out, frame, encode);
    }
    const AVRational time_base = s.stream(a.stream_index)->time_base;
    if (t.run_rate != rate) {
        // A new rate starts a new run where the last one ended.
        t.run_start = t.run_rate == 0 ? 0 : placed_until(t, time_base);
        t.run_samples = 0;
        t.run_rate = rate;
    }
    const int64_t drift =
        av_rescale_q(ts - t.origin - placed_until(t, time_base), time_base, AVRational{1, rate});
    const int64_t tolerance = av_rescale(AUDIO_FRAME_SAMPLES, rate, OUTPUT_SAMPLE_RATE);
    if (drift > tolerance) {
        const int64_t frame_at = av_rescale_q(ts - t.origin, time_base, AV_TIME_BASE_Q);
        if (!fill_may_reach(s, frame_at))
            return step_failed("the audio's clock jumps more than 10 seconds ahead",
                               AVERROR_INVALIDDATA);
        const StepStatus status =
            feed_silence(s, a, out, frame, drift, t.origin + placed_until(t, time_base), encode);
        if (status.failed())
            return status;
        t.run_samples += drift;
    } else if (drift < -tolerance) {
        t.dropped_behind += static_cast<double>(std::min<int64_t>(-drift, frame->nb_samples)) / rate;
        if (t.dropped_behind > MAX_AUDIO_BEHIND_SECONDS)
            return step_failed("the input's audio timestamps go back", AVERROR_INVALIDDATA);
        if (-drift >= frame->nb_samples) {
            av_frame_unref(frame);
            return step_ok();
        }
        const StepStatus status =
            drop_leading_samples(frame, static_cast<int>(-drift), time_base);
        if (status.failed())
            return status;
    }
    t.run_samples += frame->nb_samples;
    return feed_filter(s, a, out, frame, encode);
}

// Takes every frame the audio decoder yields onto the timeline and through
// the filter graph.
StepStatus filter_decoded_audio(SourceStage& s, SoundBranch& a, FanOut& out, bool encode) {
    AVFrame* decoded = s.decoded_frame.get();
    for (;;) {
        const int ret = avcodec_receive_frame(a.audio_dec.get(), decoded);
        // Running out of memory is the decoder's failure, not the packet's.
        if (ret == AVERROR(ENOMEM))
            return step_failed("could not decode audio", ret);
        // Any other negative result ends this packet's frames; a decoding
        // error loses only the audio of the packet that caused it, and the
        // timeline puts the sound after it back in its place.
        if (ret < 0)
            return step_ok();
        const StepStatus status = place_decoded_audio(s, a, out, decoded, encode);
        av_frame_unref(decoded);
        if (status.failed())
            return status;
    }
}

} // namespace

StepStatus decode_audio(SourceStage& s, SoundBranch& a, FanOut& out, const AVPacket* pkt) {
    const int ret = avcodec_send_packet(a.audio_dec.get(), pkt);
    if (ret == AVERROR(ENOMEM))
        return step_failed("could not decode audio", ret);
    // A packet the decoder refuses is dropped, not a failure.
    if (ret < 0)
        return step_ok();
    return filter_decoded_audio(s, a, out, true);
}

StepStatus finish_audio(SourceStage& s, SoundBranch& a, FanOut& out) {
    avcodec_send_packet(a.audio_dec.get(), nullptr);
    StepStatus status = filter_decoded_audio(s, a, out, false);
    if (status.failed())
        return status;

    status = flush_filter(a, out, false);
    if (status.failed())
        return status;

    // Only the very last frame may be shorter than the encoder's frame size.
    while (av_audio_fifo_size(a.audio_fifo.get()) > 0) {
        const int nb_samples =
            std::min(a.audio_enc->frame_size, av_audio_fifo_size(a.audio_fifo.get()));
        status = encode_from_fifo(a, out, nb_samples);
        if (status.failed())
            return status;
    }
    return encode_audio(a, out, nullptr);
}
