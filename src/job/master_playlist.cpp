#include "job/master_playlist.h"

#include <fstream>
#include <sstream>

#include "media/paths.h"

std::string master_playlist_text(const std::vector<Rendition>& variants) {
    std::ostringstream text;
    text << "#EXTM3U\n#EXT-X-VERSION:3\n";
    // BANDWIDTH is the video bitrate alone: players compare the entries with
    // one another, and every variant carries the same audio.
    for (const Rendition& variant : variants) {
        text << "#EXT-X-STREAM-INF:BANDWIDTH=" << variant.bitrate << ",RESOLUTION=" << variant.width
             << "x" << variant.height << "\n"
             << variant.name << ".m3u8\n";
    }
    return text.str();
}

bool write_master_playlist(const std::string& path, const std::vector<Rendition>& variants) {
    if (has_embedded_nul(path))
        return false;
    const std::string text = master_playlist_text(variants);
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open())
        return false;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}
