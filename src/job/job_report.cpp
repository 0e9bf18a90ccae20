#include "job/job_report.h"

#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// The muxer names a segment it encrypts "crypto:<path>", and may name any
// file "file:<path>".
const char* file_system_path(const std::string& url) {
    const char* path = url.c_str();
    for (const char* protocol : {"crypto:", "file:"}) {
        const std::size_t length = std::char_traits<char>::length(protocol);
        if (std::char_traits<char>::compare(path, protocol, length) == 0)
            path += length;
    }
    return path;
}

bool is_temporary_of(const char* path, const std::string& file) {
    return std::strncmp(path, file.c_str(), file.size()) == 0 &&
           std::strcmp(path + file.size(), ".tmp") == 0;
}

} // namespace

ProgressSnapshot read_progress(const JobReport& report) {
    ProgressSnapshot snapshot;
    const std::lock_guard<std::mutex> lock(report.mutex);
    snapshot.input_duration_us = report.input_duration_us;
    snapshot.renditions.reserve(report.plan.size());
    for (std::size_t k = 0; k < report.plan.size(); ++k) {
        // A skipped rendition has no progress to make; an audio rendition's
        // follows its pictures'.
        if (!report.plan[k].skip_reason.empty() || report.plan[k].audio_track >= 0)
            continue;
        const RenditionProgress& progress = report.outcomes[k].progress;
        snapshot.renditions.push_back(
            {report.plan[k].name, progress.pictures.load(), progress.written_us.load()});
    }
    return snapshot;
}

void remove_job_files(const JobReport& report, const std::string& output) noexcept {
    // A file that is already gone (a playlist's temporary file after its
    // rename) is no failure.
    for (std::size_t k = 0; k < report.outcomes.size(); ++k) {
        const std::string& playlist = report.plan[k].playlist_path;
        for (const std::string& url : report.outcomes[k].files_written) {
            const char* path = file_system_path(url);
            unlink(path);
            // The muxer writes the playlist to "<playlist>.tmp", then renames it.
            if (is_temporary_of(path, playlist))
                unlink(playlist.c_str());
        }
    }
    for (const SubtitleOutcome& subtitles : report.subtitle_outcomes)
        for (const std::string& path : subtitles.files_written)
            unlink(path.c_str());
    if (report.master_written)
        unlink(output.c_str());
}
