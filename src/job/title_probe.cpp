#include "job/title_probe.h"

#include <algorithm>
#include <set>

#include "job/languages.h"
#include "job/output_frame_rate.h"
#include "source/source_colour.h"

extern "C" {
#include <libavutil/dict.h>
}

namespace {

// The earlier start of the video and the sound, so that both keep the offset
// they have in the input. A stream that starts before zero (an edit list may
// put the first pictures there) keeps zero as the origin: what lies before it
// is cut.
int64_t title_origin(const SourceInput& input, const std::vector<AudioTrack>& audio) {
    std::vector<const AVStream*> streams{input.video_stream()};
    for (const AudioTrack& track : audio)
        streams.push_back(input.fmt_ctx->streams[track.stream_index]);
    int64_t origin = AV_NOPTS_VALUE;
    for (const AVStream* stream : streams) {
        if (stream->start_time == AV_NOPTS_VALUE)
            continue;
        const int64_t start = av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
        if (origin == AV_NOPTS_VALUE || start < origin)
            origin = start;
    }
    if (origin == AV_NOPTS_VALUE || origin <= 0)
        return 0;
    return origin;
}

std::string metadata(const AVStream& stream, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(stream.metadata, key, nullptr, 0);
    return entry && entry->value ? entry->value : "";
}

// A tag as given ("pt-BR"), or the RFC 5646 tag of an ISO 639 code.
LanguageNames language_named(const std::string& given) {
    const std::size_t dash = given.find('-');
    if (dash == std::string::npos)
        return language_of(given);
    return {given, language_of(given.substr(0, dash)).name};
}

// What players list: the stream's own title, else its language's name, else
// "Audio 2"; never twice in one group.
std::string unique_name(std::string name, const LanguageNames& language, const char* kind,
                        std::size_t number, std::set<std::string>& taken) {
    if (name.empty())
        name = language.name;
    if (name.empty())
        name = std::string(kind) + " " + std::to_string(number);
    std::string unique = name;
    for (int again = 2; taken.count(unique) > 0; ++again)
        unique = name + " (" + std::to_string(again) + ")";
    taken.insert(unique);
    return unique;
}

std::string codec_name(AVCodecID id) {
    const char* name = avcodec_get_name(id);
    return name ? name : "unknown";
}

void plan_audio(const SourceInput& input, Title& title) {
    std::set<std::string> names;
    const AVFormatContext& fmt_ctx = *input.fmt_ctx;
    for (unsigned k = 0; k < fmt_ctx.nb_streams; ++k) {
        const AVStream& stream = *fmt_ctx.streams[k];
        if (stream.codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        if (!avcodec_find_decoder(stream.codecpar->codec_id)) {
            title.left_out.push_back({static_cast<int>(k), "audio",
                                      "no decoder for its codec (" +
                                          codec_name(stream.codecpar->codec_id) + ")"});
            continue;
        }
        AudioTrack track;
        track.stream_index = static_cast<int>(k);
        const LanguageNames language = language_of(metadata(stream, "language"));
        track.language = language.tag;
        track.name =
            unique_name(metadata(stream, "title"), language, "Audio", title.audio.size() + 1, names);
        track.is_default = (stream.disposition & AV_DISPOSITION_DEFAULT) != 0;
        track.describes_video = (stream.disposition & AV_DISPOSITION_VISUAL_IMPAIRED) != 0;
        title.audio.push_back(track);
    }
    // Exactly one default: the first marked so, else the first.
    const auto chosen = std::find_if(title.audio.begin(), title.audio.end(),
                                     [](const AudioTrack& track) { return track.is_default; });
    for (AudioTrack& track : title.audio)
        track.is_default = false;
    if (!title.audio.empty())
        (chosen != title.audio.end() ? *chosen : title.audio.front()).is_default = true;
}

void plan_subtitles(const SourceInput& input, const std::vector<Sidecar>& sidecars, Title& title) {
    std::set<std::string> names;
    const AVFormatContext& fmt_ctx = *input.fmt_ctx;
    bool default_taken = false;
    for (unsigned k = 0; k < fmt_ctx.nb_streams; ++k) {
        const AVStream& stream = *fmt_ctx.streams[k];
        if (stream.codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE)
            continue;
        const AVCodecDescriptor* codec = avcodec_descriptor_get(stream.codecpar->codec_id);
        const std::string what = codec_name(stream.codecpar->codec_id);
        if (!codec || !(codec->props & AV_CODEC_PROP_TEXT_SUB)) {
            title.left_out.push_back(
                {static_cast<int>(k), "subtitles",
                 "its subtitles are pictures (" + what + "), and only text becomes WebVTT"});
            continue;
        }
        if (!avcodec_find_decoder(stream.codecpar->codec_id)) {
            title.left_out.push_back(
                {static_cast<int>(k), "subtitles", "no decoder for its codec (" + what + ")"});
            continue;
        }
        SubtitleTrack track;
        track.stream_index = static_cast<int>(k);
        const LanguageNames language = language_of(metadata(stream, "language"));
        track.language = language.tag;
        track.name = unique_name(metadata(stream, "title"), language, "Subtitles",
                                 title.subtitles.size() + 1, names);
        // At most one default in a group.
        track.is_default = !default_taken && (stream.disposition & AV_DISPOSITION_DEFAULT) != 0;
        default_taken = default_taken || track.is_default;
        track.forced = (stream.disposition & AV_DISPOSITION_FORCED) != 0;
        title.subtitles.push_back(track);
    }
    for (const Sidecar& sidecar : sidecars) {
        SubtitleTrack track;
        track.sidecar = sidecar.path;
        const LanguageNames language = language_named(sidecar.language);
        track.language = language.tag;
        track.name = unique_name("", language, "Subtitles", title.subtitles.size() + 1, names);
        title.subtitles.push_back(track);
    }
}

} // namespace

Title describe_title(const SourceInput& input, const EncodeProfile& profile,
                     const std::vector<Sidecar>& sidecars) {
    Title title;
    if (profile.every_track) {
        plan_audio(input, title);
        plan_subtitles(input, sidecars, title);
    } else if (input.audio_index >= 0) {
        // The best audio stream, the variants' one sound.
        title.audio.push_back({input.audio_index, "", "", true, false});
    }
    title.origin_us = title_origin(input, title.audio);
    title.clock = choose_picture_clock(profile, *input.video_stream());
    if (profile.sdr_bt709)
        title.colour = describe_colour(*input.video_stream());
    return title;
}
