// A split job's stitch: each rendition's pictures parts, in order, with the
// sound part, muxed through the variant's own HLS output (encryption, segment
// names, playlists, checks). Nothing is decoded or encoded here.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "job/split_parts.h"
#include "log/job_log.h"
#include "media/nut_file.h"
#include "rendition/packet_writer.h"
#include "rendition/rendition_stage.h"
#include "rendition/variant_files.h"

namespace {

// Samples per frame of the AAC encoder that made the sound intermediates.
constexpr int AAC_FRAME_SAMPLES = 1024;

// One intermediate file being read: its single stream and the next packet.
struct PacketReader {
    FormatContextPtr fmt_ctx;
    PacketPtr pkt;
    bool has_packet = false;
    AVStream* stream() const { return fmt_ctx->streams[0]; }
};

StepStatus open_reader(PacketReader& reader, const std::string& path) {
    const StepStatus status = open_nut_input(path, reader.fmt_ctx);
    if (status.failed())
        return status;
    reader.pkt.reset(av_packet_alloc());
    if (!reader.pkt)
        return step_failed("could not allocate packets and frames", AVERROR(ENOMEM));
    return step_ok();
}

// The reader's next packet, or none at its end.
StepStatus advance(PacketReader& reader) {
    av_packet_unref(reader.pkt.get());
    const int ret = read_nut_packet(reader.fmt_ctx.get(), reader.pkt.get());
    reader.has_packet = ret >= 0;
    if (ret < 0 && ret != AVERROR_EOF)
        return step_failed("could not read an intermediate file", ret);
    return step_ok();
}

int64_t decoding_time_us(const PacketReader& reader) {
    const AVPacket* pkt = reader.pkt.get();
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    return ts == AV_NOPTS_VALUE ? INT64_MIN
                                : av_rescale_q(ts, reader.stream()->time_base, AV_TIME_BASE_Q);
}

bool same_header(const AVCodecParameters& a, const AVCodecParameters& b) {
    return a.extradata_size == b.extradata_size && a.width == b.width && a.height == b.height &&
           (a.extradata_size == 0 ||
            std::memcmp(a.extradata, b.extradata, static_cast<std::size_t>(a.extradata_size)) == 0);
}

StepStatus describe_streams(RenditionStage& r, const PacketReader* first_window,
                            const PacketReader* sound) {
    int ret = 0;
    // An audio rendition has no pictures.
    if (first_window) {
        r.video_par.reset(avcodec_parameters_alloc());
        if (!r.video_par)
            return step_failed("could not describe the video stream", AVERROR(ENOMEM));
        ret = avcodec_parameters_copy(r.video_par.get(), first_window->stream()->codecpar);
        if (ret < 0)
            return step_failed("could not describe the video stream", ret);
        r.codecs = video_codec_of(*r.video_par);
    }
    if (!sound)
        return step_ok();
    auto audio = std::make_shared<AudioStreamParameters>();
    audio->codecpar.reset(avcodec_parameters_alloc());
    if (!audio->codecpar)
        return step_failed("could not describe the audio stream", AVERROR(ENOMEM));
    ret = avcodec_parameters_copy(audio->codecpar.get(), sound->stream()->codecpar);
    if (ret < 0)
        return step_failed("could not describe the audio stream", ret);
    audio->time_base = sound->stream()->time_base;
    r.audio = std::move(audio);
    // AAC-LC, the source's encoder.
    r.codecs = first_window ? (r.codecs.empty() ? "" : r.codecs + ",mp4a.40.2") : "mp4a.40.2";
    return step_ok();
}

// The sound that plays before `until_us` (or all of it), interleaved before
// the picture that follows it as the whole-title source would hand it on.
StepStatus write_sound_until(RenditionStage& r, PacketReader* sound, int64_t until_us) {
    while (sound && sound->has_packet && decoding_time_us(*sound) <= until_us) {
        // The intermediate keeps no durations; the muxer cuts an audio
        // rendition's segments by them. Every packet is one AAC frame.
        AVPacket* pkt = sound->pkt.get();
        const AVCodecParameters& par = *sound->stream()->codecpar;
        if (pkt->duration <= 0 && par.sample_rate > 0)
            pkt->duration = av_rescale_q(par.frame_size > 0 ? par.frame_size : AAC_FRAME_SAMPLES,
                                         AVRational{1, par.sample_rate}, sound->stream()->time_base);
        StepStatus status = write_audio_packet(r, pkt, sound->stream()->time_base);
        if (!status.failed())
            status = advance(*sound);
        if (status.failed())
            return status;
    }
    return step_ok();
}

int64_t tick_of(const PacketReader& reader, AVRational tick) {
    return av_rescale_q(reader.pkt->pts, reader.stream()->time_base, tick);
}

// The intermediates keep each picture's presentation time, not its decoding
// time, which the demuxer cannot rebuild for a chunk's first packets. The
// encoder hands out one packet per picture, in decoding order, `delay`
// pictures behind the first one shown: the k-th packet of a window whose
// first picture is shown at `base` (its key picture, the window's first
// packet: the window's first tick, or later where the source leaves a gap
// there) decodes at base + k - delay. The largest lag over all windows is
// the encoder's delay, the same for every chunk of the same settings.
StepStatus measure_decoding_delay(const JobPart& part, const Rendition& rendition,
                                  int64_t& delay) {
    const AVRational tick = rendition.clock.time_base();
    delay = 0;
    for (const int64_t first : part.window_starts) {
        PacketReader window;
        StepStatus status =
            open_reader(window, pictures_file(part.work_dir, rendition.name, first));
        int64_t index = 0;
        int64_t base = 0;
        while (!status.failed() && !(status = advance(window)).failed() && window.has_packet) {
            if (window.pkt->pts == AV_NOPTS_VALUE)
                return step_failed("an intermediate file has a packet without a time",
                                   AVERROR_INVALIDDATA);
            if (index == 0)
                base = tick_of(window, tick);
            delay = std::max(delay, base + index - tick_of(window, tick));
            ++index;
        }
        if (status.failed())
            return status;
    }
    return step_ok();
}

StepStatus write_window(RenditionStage& r, PacketReader& window, int64_t delay,
                        PacketReader* sound, const JobControl& control) {
    if (!same_header(*r.video_par, *window.stream()->codecpar))
        return step_failed("the chunks' encoder headers differ", AVERROR_INVALIDDATA);
    const AVRational tick = r.rendition.clock.time_base();
    StepStatus status = advance(window);
    const int64_t base = window.has_packet ? tick_of(window, tick) : 0;
    for (int64_t index = 0; !status.failed() && window.has_packet; ++index) {
        if (control.cancelled.load())
            return step_failed(JOB_STOPPED, 0);
        window.pkt->dts = av_rescale_q(base + index - delay, tick, window.stream()->time_base);
        status = write_sound_until(r, sound, decoding_time_us(window));
        if (!status.failed())
            status = write_video_packet(r, window.pkt.get(), window.stream()->time_base);
        if (!status.failed())
            status = advance(window);
        if (!status.failed() && r.output_files.first_error < 0)
            status = step_failed(WRITE_STEP, r.output_files.first_error);
    }
    return status;
}

// The sound a rendition muxes: its own track's (an audio rendition), the one
// track every variant carries, or none (video variants beside audio
// renditions, or a title without sound).
StepStatus open_sound(const Rendition& rendition, const JobPart& part,
                      std::unique_ptr<PacketReader>& sound) {
    const int track = rendition.audio_track >= 0 ? rendition.audio_track
                      : part.sound_tracks == 1    ? 0
                                                  : -1;
    if (track < 0)
        return step_ok();
    sound = std::make_unique<PacketReader>();
    StepStatus status = open_reader(*sound, sound_file(part.work_dir, track));
    if (!status.failed())
        status = advance(*sound);
    return status;
}

StepStatus stitch_audio_rendition(RenditionStage& r, const JobPart& part) {
    std::unique_ptr<PacketReader> sound;
    StepStatus status = open_sound(r.rendition, part, sound);
    if (!status.failed())
        status = describe_streams(r, nullptr, sound.get());
    if (!status.failed())
        status = check_output_directory(r.rendition.playlist_path);
    if (!status.failed())
        status = open_hls_output(r);
    if (!status.failed())
        status = write_sound_until(r, sound.get(), INT64_MAX);
    return close_output(r, status);
}

StepStatus stitch_rendition(RenditionStage& r, const JobPart& part, const JobControl& control) {
    if (r.rendition.audio_track >= 0)
        return stitch_audio_rendition(r, part);
    const std::string& name = r.rendition.name;
    if (part.window_starts.empty())
        return step_failed("the stitch was given no chunks", AVERROR(EINVAL));
    PacketReader first_window;
    StepStatus status =
        open_reader(first_window, pictures_file(part.work_dir, name, part.window_starts[0]));
    std::unique_ptr<PacketReader> sound;
    if (!status.failed())
        status = open_sound(r.rendition, part, sound);
    if (!status.failed())
        status = describe_streams(r, &first_window, sound.get());
    int64_t delay = 0;
    if (!status.failed())
        status = measure_decoding_delay(part, r.rendition, delay);
    if (!status.failed())
        status = check_output_directory(r.rendition.playlist_path);
    if (!status.failed())
        status = open_hls_output(r);
    for (std::size_t k = 0; k < part.window_starts.size() && !status.failed(); ++k) {
        PacketReader later;
        PacketReader& window = k == 0 ? first_window : later;
        if (k > 0)
            status = open_reader(later, pictures_file(part.work_dir, name, part.window_starts[k]));
        if (!status.failed())
            status = write_window(r, window, delay, sound.get(), control);
    }
    if (!status.failed())
        status = write_sound_until(r, sound.get(), INT64_MAX);
    return close_output(r, status);
}

void stitch_one(const Rendition& rendition, const JobPart& part, const EncodeProfile& profile,
                const std::string& key_info_path, JobControl& control, RenditionOutcome& outcome) {
    StepStatus status;
    {
        RenditionStage stage(rendition, profile, key_info_path, outcome.progress);
        status = stitch_rendition(stage, part, control);
        keep_stage_results(stage, outcome);
    }
    report_stage_end(rendition, status, nullptr, control, outcome);
}

} // namespace

void stitch_renditions(const JobPart& part, const EncodeProfile& profile,
                       const std::string& key_info_path, JobControl& control, JobReport& report) {
    for (std::size_t k = 0; k < report.plan.size() && !control.cancelled.load(); ++k) {
        if (!report.plan[k].skip_reason.empty())
            continue;
        try {
            stitch_one(report.plan[k], part, profile, key_info_path, control, report.outcomes[k]);
        } catch (const std::exception& error) {
            report.outcomes[k].step = error.what();
        }
    }
}
