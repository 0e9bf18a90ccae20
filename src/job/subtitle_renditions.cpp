// Subtitles: the text of every cue, read from the input's subtitle streams
// (one pass for all of them) or a sidecar file, through FFmpeg's decoder and
// its WebVTT encoder (which turns SubRip's and ASS's styling into WebVTT's),
// then written in segments beside the video's.
#include "job/subtitle_renditions.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "media/paths.h"
#include "media/step_status.h"
#include "rendition/key_info_check.h"
#include "source/input_context.h"

namespace {

constexpr const char* READ_STEP = "could not read the subtitles";

// A subtitle stream's decoder and the WebVTT encoder fed by it.
struct CueMaker {
    CodecContextPtr dec_ctx;
    CodecContextPtr enc_ctx;
    AVRational time_base{1, 1000};
    int64_t origin_us = 0;
    std::vector<Cue>* cues = nullptr;
};

StepStatus open_cue_maker(CueMaker& maker, const AVStream& stream) {
    const AVCodec* decoder = avcodec_find_decoder(stream.codecpar->codec_id);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_WEBVTT);
    if (!decoder)
        return step_failed("no decoder for the subtitles", AVERROR_DECODER_NOT_FOUND);
    if (!encoder)
        return step_failed("no WebVTT encoder available", AVERROR_ENCODER_NOT_FOUND);
    maker.dec_ctx.reset(avcodec_alloc_context3(decoder));
    maker.enc_ctx.reset(avcodec_alloc_context3(encoder));
    if (!maker.dec_ctx || !maker.enc_ctx)
        return step_failed("could not open the subtitle decoder", AVERROR(ENOMEM));
    int ret = avcodec_parameters_to_context(maker.dec_ctx.get(), stream.codecpar);
    if (ret < 0)
        return step_failed("could not open the subtitle decoder", ret);
    maker.dec_ctx->pkt_timebase = stream.time_base;
    ret = avcodec_open2(maker.dec_ctx.get(), decoder, nullptr);
    if (ret < 0)
        return step_failed("could not open the subtitle decoder", ret);
    // The encoder reads the styles its events refer to from the decoder's
    // header.
    if (maker.dec_ctx->subtitle_header && maker.dec_ctx->subtitle_header_size > 0) {
        const auto size = static_cast<std::size_t>(maker.dec_ctx->subtitle_header_size);
        maker.enc_ctx->subtitle_header = static_cast<uint8_t*>(av_mallocz(size + 1));
        if (!maker.enc_ctx->subtitle_header)
            return step_failed("could not open the WebVTT encoder", AVERROR(ENOMEM));
        std::copy_n(maker.dec_ctx->subtitle_header, size, maker.enc_ctx->subtitle_header);
        maker.enc_ctx->subtitle_header_size = maker.dec_ctx->subtitle_header_size;
    }
    maker.enc_ctx->time_base = AVRational{1, 1000};
    ret = avcodec_open2(maker.enc_ctx.get(), encoder, nullptr);
    if (ret < 0)
        return step_failed("could not open the WebVTT encoder", ret);
    maker.time_base = stream.time_base;
    return step_ok();
}

// The cue of one packet, if its subtitle has text.
StepStatus make_cue(CueMaker& maker, AVPacket* pkt) {
    if (pkt->pts == AV_NOPTS_VALUE)
        return step_ok();
    DecodedSubtitle decoded;
    int got = 0;
    const int ret = avcodec_decode_subtitle2(maker.dec_ctx.get(), &decoded.sub, &got, pkt);
    // A packet the decoder cannot read loses its cue, not the rendition.
    if (ret < 0 || !got || decoded.sub.num_rects == 0)
        return step_ok();
    uint8_t text[64 * 1024];
    const int length = avcodec_encode_subtitle(maker.enc_ctx.get(), text, sizeof text, &decoded.sub);
    if (length <= 0)
        return step_ok();
    const int64_t start = av_rescale_q(pkt->pts, maker.time_base, AV_TIME_BASE_Q);
    const uint32_t shown_ms = decoded.sub.end_display_time;
    const int64_t end = shown_ms > 0 && shown_ms != UINT32_MAX
                            ? start + int64_t{shown_ms} * 1000
                            : start + av_rescale_q(pkt->duration, maker.time_base, AV_TIME_BASE_Q);
    const int64_t begin = start + int64_t{decoded.sub.start_display_time} * 1000;
    if (end <= begin)
        return step_ok();
    maker.cues->push_back({begin - maker.origin_us, end - maker.origin_us,
                           std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(length))});
    return step_ok();
}

// Every cue of the file's subtitle streams in `wanted` (input stream index
// to its list of cues), in one pass.
StepStatus read_cues(const std::string& path, std::map<int, std::vector<Cue>*> wanted,
                     int64_t origin_us, JobControl& control) {
    InputGate gate;
    FormatContextPtr fmt_ctx;
    int ret = open_input_context(path, gate, fmt_ctx, control);
    if (ret < 0)
        return step_failed(READ_STEP, ret);
    ret = find_stream_info(fmt_ctx.get());
    if (ret < 0)
        return step_failed(READ_STEP, ret);
    std::map<int, CueMaker> makers;
    for (const auto& [index, cues] : wanted) {
        if (index < 0 || static_cast<unsigned>(index) >= fmt_ctx->nb_streams ||
            fmt_ctx->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE)
            return step_failed(READ_STEP, AVERROR_STREAM_NOT_FOUND);
        CueMaker& maker = makers[index];
        maker.cues = cues;
        maker.origin_us = origin_us;
        const StepStatus status = open_cue_maker(maker, *fmt_ctx->streams[index]);
        if (status.failed())
            return status;
    }
    // Only the subtitle streams are read; the rest is dropped by the demuxer.
    for (unsigned k = 0; k < fmt_ctx->nb_streams; ++k)
        if (makers.count(static_cast<int>(k)) == 0)
            fmt_ctx->streams[k]->discard = AVDISCARD_ALL;
    PacketPtr pkt(av_packet_alloc());
    if (!pkt)
        return step_failed(READ_STEP, AVERROR(ENOMEM));
    for (;;) {
        if (control.cancelled.load())
            return step_failed(JOB_STOPPED, 0);
        ret = av_read_frame(fmt_ctx.get(), pkt.get());
        if (ret == AVERROR_EOF)
            break;
        if (ret < 0)
            return step_failed(READ_STEP, ret);
        const auto maker = makers.find(pkt->stream_index);
        StepStatus status;
        if (maker != makers.end())
            status = make_cue(maker->second, pkt.get());
        av_packet_unref(pkt.get());
        if (status.failed())
            return status;
    }
    for (auto& [index, cues] : wanted)
        std::stable_sort(cues->begin(), cues->end(),
                         [](const Cue& a, const Cue& b) { return a.start_us < b.start_us; });
    return step_ok();
}

// The EXTINF durations and target duration of a variant playlist.
bool segment_durations(const std::string& playlist, std::vector<double>& seconds,
                       int& target_duration) {
    std::ifstream file(playlist, std::ios::binary);
    if (!file.is_open())
        return false;
    for (std::string line; std::getline(file, line);) {
        double value = 0;
        int whole = 0;
        if (std::sscanf(line.c_str(), "#EXTINF:%lf", &value) == 1)
            seconds.push_back(value);
        else if (std::sscanf(line.c_str(), "#EXT-X-TARGETDURATION:%d", &whole) == 1)
            target_duration = whole;
    }
    return !seconds.empty();
}

std::string vtt_time(int64_t us) {
    const int64_t ms = std::max<int64_t>(0, us) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64,
                  ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return text;
}

} // namespace

std::vector<std::string> write_webvtt(const std::string& directory, const std::string& stem,
                                      const std::vector<Cue>& cues,
                                      const std::vector<double>& seconds, int64_t mpegts_zero,
                                      int target_duration, const SegmentKey& key,
                                      std::string& step) {
    std::vector<std::string> written;
    std::string playlist = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" +
                           std::to_string(target_duration) +
                           "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n" + key_tag(key) +
                           "\n";
    const std::string header = "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:" + std::to_string(mpegts_zero) +
                               ",LOCAL:00:00:00.000\n\n";
    double start = 0;
    for (std::size_t k = 0; k < seconds.size(); ++k) {
        const int64_t from_us = std::llround(start * 1e6);
        // The last segment takes whatever is shown after the pictures end.
        const int64_t to_us = k + 1 == seconds.size() ? INT64_MAX : std::llround((start + seconds[k]) * 1e6);
        std::string text = header;
        // A cue shown across a cut is in both segments.
        for (const Cue& cue : cues)
            if (cue.start_us < to_us && cue.end_us > from_us)
                text += vtt_time(cue.start_us) + " --> " + vtt_time(cue.end_us) + "\n" + cue.text +
                        "\n\n";
        char name[64];
        std::snprintf(name, sizeof name, "_%03zu.vtt", k);
        const std::string segment = stem + name;
        std::string encrypted;
        const StepStatus sealed = encrypt_segment(key, text, encrypted);
        if (sealed.failed()) {
            step = sealed.step;
            return written;
        }
        if (!write_text_file(directory + segment, encrypted)) {
            step = "could not write the subtitle files";
            return written;
        }
        written.push_back(directory + segment);
        char extinf[64];
        std::snprintf(extinf, sizeof extinf, "#EXTINF:%.6f,\n", seconds[k]);
        playlist += extinf + segment + "\n";
        start += seconds[k];
    }
    playlist += "#EXT-X-ENDLIST\n";
    if (!write_text_file(directory + stem + ".m3u8", playlist)) {
        step = "could not write the subtitle files";
        return written;
    }
    written.push_back(directory + stem + ".m3u8");
    return written;
}

void write_subtitle_renditions(const EncodeRequest& request, JobReport& report,
                               JobControl& control) {
    const Title& title = report.title;
    report.subtitle_outcomes.assign(title.subtitles.size(), SubtitleOutcome());
    if (title.subtitles.empty())
        return;
    const std::string directory = directory_of(request.output);
    // The video's segments, and where its muxer put time zero.
    const Rendition* variant = nullptr;
    const RenditionOutcome* made = nullptr;
    for (std::size_t k = 0; k < report.plan.size() && !variant; ++k)
        if (report.plan[k].audio_track < 0 && report.outcomes[k].created) {
            variant = &report.plan[k];
            made = &report.outcomes[k];
        }
    std::vector<double> seconds;
    int target_duration = 1;
    const bool segmented = variant && segment_durations(variant->playlist_path, seconds,
                                                        target_duration);
    // Encrypted as the variants are, with the same key and IV.
    SegmentKey key;
    const StepStatus keyed = read_segment_key(request.key_info, key);
    // One pass over the input for every subtitle stream in it; one per sidecar.
    std::vector<std::vector<Cue>> cues(title.subtitles.size());
    std::map<int, std::vector<Cue>*> in_stream;
    for (std::size_t k = 0; k < title.subtitles.size(); ++k)
        if (title.subtitles[k].stream_index >= 0)
            in_stream[title.subtitles[k].stream_index] = &cues[k];
    const StepStatus from_input = in_stream.empty()
                                      ? step_ok()
                                      : read_cues(request.input, in_stream, title.origin_us, control);
    for (std::size_t k = 0; k < title.subtitles.size(); ++k) {
        const SubtitleTrack& track = title.subtitles[k];
        SubtitleOutcome& outcome = report.subtitle_outcomes[k];
        const std::string stem = "subtitles_" + std::to_string(k + 1);
        outcome.playlist_path = directory + stem + ".m3u8";
        StepStatus status = track.stream_index >= 0 ? from_input : step_ok();
        if (!status.failed() && track.stream_index < 0)
            // A sidecar's times are the presentation's, from its start.
            status = read_cues(track.sidecar, {{0, &cues[k]}}, 0, control);
        if (!status.failed() && !segmented)
            status = step_failed("no video variant to cut the subtitles by", AVERROR(EINVAL));
        if (!status.failed())
            status = keyed;
        if (control.cancelled.load())
            return;
        if (status.failed()) {
            outcome.step = status.step;
            outcome.reason = status.error ? av_error_text(status.error) : "";
            log_message(control.log, LOG_ERROR,
                        "Subtitles " + outcome.playlist_path + " failed: " + outcome.step +
                            (outcome.reason.empty() ? "" : ": " + outcome.reason));
            continue;
        }
        std::string step;
        outcome.files_written =
            write_webvtt(directory, stem, cues[k], seconds, made->mpegts_zero, target_duration, key, step);
        outcome.created = step.empty();
        if (!outcome.created) {
            outcome.step = step;
            log_message(control.log, LOG_ERROR, "Subtitles " + outcome.playlist_path + " failed: " + step);
        } else {
            log_message(control.log, LOG_SUCCESS, "Subtitles created: " + outcome.playlist_path);
        }
    }
}
