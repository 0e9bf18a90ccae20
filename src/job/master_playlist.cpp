#include "job/master_playlist.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "media/paths.h"

namespace {

void write_specified_entry(std::ostringstream& text, const Rendition& variant) {
    // BANDWIDTH is the video bitrate alone: players compare the entries with
    // one another, and every variant carries the same audio.
    text << "#EXT-X-STREAM-INF:BANDWIDTH=" << variant.bitrate << ",RESOLUTION=" << variant.width
         << "x" << variant.height << "\n";
}

constexpr const char* AUDIO_GROUP = "audio";
constexpr const char* SUBTITLE_GROUP = "subtitles";

// The audio renditions' largest peak and average: a player that picks a
// variant takes one of them along, at worst the most demanding.
VariantFigures largest_audio(const MasterMedia& media) {
    VariantFigures largest;
    for (const AudioMedia& audio : media.audio) {
        largest.peak_bps = std::max(largest.peak_bps, audio.entry.outcome->figures.peak_bps);
        largest.average_bps = std::max(largest.average_bps, audio.entry.outcome->figures.average_bps);
    }
    return largest;
}

void write_measured_entry(std::ostringstream& text, const Rendition& variant,
                          const RenditionOutcome& outcome, const MasterMedia& media) {
    char frame_rate[32];
    std::snprintf(frame_rate, sizeof frame_rate, "%.3f", av_q2d(variant.clock.frame_rate));
    const VariantFigures audio = largest_audio(media);
    std::string codecs = outcome.codecs;
    if (!media.audio.empty() && !codecs.empty())
        codecs += ",mp4a.40.2"; // AAC-LC, every audio rendition's
    text << "#EXT-X-STREAM-INF:BANDWIDTH=" << outcome.figures.peak_bps + audio.peak_bps
         << ",AVERAGE-BANDWIDTH=" << outcome.figures.average_bps + audio.average_bps;
    if (!codecs.empty())
        text << ",CODECS=\"" << codecs << "\"";
    text << ",RESOLUTION=" << variant.width << "x" << variant.height
         << ",FRAME-RATE=" << frame_rate;
    if (!media.audio.empty())
        text << ",AUDIO=\"" << AUDIO_GROUP << "\"";
    if (!media.subtitles.empty())
        text << ",SUBTITLES=\"" << SUBTITLE_GROUP << "\"";
    text << "\n";
}

// Quoted-string attribute values (RFC 8216) hold no double quote and no
// line break.
std::string quoted(const std::string& value) {
    std::string text;
    for (const char c : value)
        text += (c == '"' || c == '\n' || c == '\r') ? '\'' : c;
    return "\"" + text + "\"";
}

void write_media(std::ostringstream& text, const char* type, const char* group,
                 const std::string& language, const std::string& name, bool is_default) {
    text << "#EXT-X-MEDIA:TYPE=" << type << ",GROUP-ID=\"" << group << "\"";
    if (!language.empty())
        text << ",LANGUAGE=" << quoted(language);
    text << ",NAME=" << quoted(name) << ",DEFAULT=" << (is_default ? "YES" : "NO");
}

void write_media_entries(std::ostringstream& text, const MasterMedia& media) {
    for (const AudioMedia& audio : media.audio) {
        write_media(text, "AUDIO", AUDIO_GROUP, audio.track->language, audio.track->name,
                    audio.track->is_default);
        text << ",AUTOSELECT=YES,CHANNELS=\"2\"";
        if (audio.track->describes_video)
            text << ",CHARACTERISTICS=\"public.accessibility.describes-video\"";
        text << ",URI=" << quoted(audio.entry.rendition->name + ".m3u8") << "\n";
    }
    for (const SubtitleMedia& subtitles : media.subtitles) {
        write_media(text, "SUBTITLES", SUBTITLE_GROUP, subtitles.track->language,
                    subtitles.track->name, subtitles.track->is_default);
        text << ",FORCED=" << (subtitles.track->forced ? "YES" : "NO")
             << ",AUTOSELECT=YES,URI=" << quoted(subtitles.uri) << "\n";
    }
}

} // namespace

std::string master_playlist_text(const std::vector<MasterEntry>& variants, MasterStyle style,
                                 const MasterMedia& media) {
    std::ostringstream text;
    // Version 3 covers every tag here: none of the STREAM-INF attributes nor
    // INDEPENDENT-SEGMENTS asks for a higher one.
    text << "#EXTM3U\n#EXT-X-VERSION:3\n";
    if (style == MasterStyle::measured)
        text << "#EXT-X-INDEPENDENT-SEGMENTS\n";
    write_media_entries(text, media);
    for (const MasterEntry& entry : variants) {
        if (style == MasterStyle::measured)
            write_measured_entry(text, *entry.rendition, *entry.outcome, media);
        else
            write_specified_entry(text, *entry.rendition);
        text << entry.rendition->name << ".m3u8\n";
    }
    return text.str();
}

bool write_master_playlist(const std::string& path, const std::vector<MasterEntry>& variants,
                           MasterStyle style, const MasterMedia& media) {
    return write_text_file(path, master_playlist_text(variants, style, media));
}
