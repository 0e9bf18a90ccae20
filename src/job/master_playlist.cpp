#include "job/master_playlist.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "media/paths.h"

namespace {

void write_specified_entry(std::ostringstream& text, const Rendition& variant) {
    // BANDWIDTH is the video bitrate alone: players compare the entries with
    // one another, and every variant carries the same audio.
    text << "#EXT-X-STREAM-INF:BANDWIDTH=" << variant.bitrate << ",RESOLUTION=" << variant.width
         << "x" << variant.height << "\n";
}

void write_measured_entry(std::ostringstream& text, const Rendition& variant,
                          const RenditionOutcome& outcome) {
    char frame_rate[32];
    std::snprintf(frame_rate, sizeof frame_rate, "%.3f", av_q2d(variant.clock.frame_rate));
    text << "#EXT-X-STREAM-INF:BANDWIDTH=" << outcome.figures.peak_bps
         << ",AVERAGE-BANDWIDTH=" << outcome.figures.average_bps;
    if (!outcome.codecs.empty())
        text << ",CODECS=\"" << outcome.codecs << "\"";
    text << ",RESOLUTION=" << variant.width << "x" << variant.height
         << ",FRAME-RATE=" << frame_rate << "\n";
}

} // namespace

std::string master_playlist_text(const std::vector<MasterEntry>& variants, MasterStyle style) {
    std::ostringstream text;
    // Version 3 covers every tag here: none of the STREAM-INF attributes nor
    // INDEPENDENT-SEGMENTS asks for a higher one.
    text << "#EXTM3U\n#EXT-X-VERSION:3\n";
    if (style == MasterStyle::measured)
        text << "#EXT-X-INDEPENDENT-SEGMENTS\n";
    for (const MasterEntry& entry : variants) {
        if (style == MasterStyle::measured)
            write_measured_entry(text, *entry.rendition, *entry.outcome);
        else
            write_specified_entry(text, *entry.rendition);
        text << entry.rendition->name << ".m3u8\n";
    }
    return text.str();
}

bool write_master_playlist(const std::string& path, const std::vector<MasterEntry>& variants,
                           MasterStyle style) {
    if (has_embedded_nul(path))
        return false;
    const std::string text = master_playlist_text(variants, style);
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open())
        return false;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}
