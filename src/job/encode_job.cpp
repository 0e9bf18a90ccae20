#include "job/encode_job.h"

#include <cstddef>
#include <utility>

#include "job/master_playlist.h"
#include "job/rendition_ladder.h"
#include "job/source_probe.h"
#include "job/variant_workers.h"
#include "log/console_log.h"
#include "variant/transcode_variant.h"

namespace {

// Missing bitrates take the ladder's default for the name at their position.
void complete_bitrates(const std::vector<std::string>& resolution, std::vector<int32_t>& bitrate) {
    while (bitrate.size() < resolution.size())
        bitrate.push_back(default_bitrate(resolution[bitrate.size()]));
}

bool already_planned(const std::vector<RenditionSpec>& plan, const std::string& name) {
    for (const RenditionSpec& planned : plan)
        if (planned.name == name)
            return true;
    return false;
}

std::vector<RenditionSpec> created_variants(const std::vector<RenditionSpec>& plan,
                                            const VariantWorkers& workers) {
    std::vector<RenditionSpec> created;
    for (std::size_t k = 0; k < plan.size(); ++k)
        if (workers.created(k))
            created.push_back(plan[k]);
    return created;
}

// The last lines of a job that got past probing.
void finish_job(const std::string& output, const std::vector<RenditionSpec>& plan,
                const std::vector<RenditionSpec>& created) {
    const std::size_t failed = plan.size() - created.size();
    // With variants planned but none made there is nothing to list; an older
    // playlist at `output` is left alone rather than replaced by an empty one.
    const bool playlist_due = plan.empty() || !created.empty();
    bool playlist_written = false;
    if (playlist_due) {
        playlist_written = write_master_playlist(output, created);
        if (playlist_written)
            log_message(LOG_SUCCESS, "Encrypted Master playlist generated: " + output);
        else
            log_message(LOG_ERROR, "Could not write master playlist: " + output);
    }
    if (failed > 0)
        log_message(LOG_ERROR, "Transcoding finished with " + std::to_string(failed) + " of " +
                                   std::to_string(plan.size()) + " variants failed.");
    else if (playlist_written)
        log_message(LOG_SUCCESS, "All secure transcoding finished flawlessly.");
}

} // namespace

std::string variant_directory(const std::string& output) {
    const std::size_t slash = output.rfind('/');
    return slash == std::string::npos ? std::string() : output.substr(0, slash + 1);
}

void run_encode_job(std::string input, std::string output, std::vector<std::string> resolution,
                    std::vector<int32_t> bitrate, std::string key) {
    log_message(LOG_INFO, "Analyzing video file: " + input + "...");
    const SourceProbe source = probe_source(input);
    if (source.result == SourceProbe::Result::cannot_open) {
        log_message(LOG_ERROR, "Could not open " + input + ". Make sure the file exists.");
        return;
    }
    if (source.result == SourceProbe::Result::no_video_stream) {
        log_message(LOG_ERROR, "No video stream found in the file.");
        return;
    }
    log_message(LOG_INFO, "Detected video size: " + std::to_string(source.width) + "x" +
                              std::to_string(source.height));

    complete_bitrates(resolution, bitrate);
    const std::string directory = variant_directory(output);
    std::vector<RenditionSpec> plan;
    plan.reserve(resolution.size());
    VariantWorkers workers(transcode_variant, resolution.size());
    for (std::size_t i = 0; i < resolution.size(); ++i) {
        const std::string& name = resolution[i];
        const RenditionRung* rung = find_rendition(name);
        if (!rung) {
            log_message(LOG_WARN, "Unknown resolution requested: " + name + ". Skipping.");
            continue;
        }
        // Two workers on one name would write the same files at once.
        if (already_planned(plan, name)) {
            log_message(LOG_WARN, "Duplicate resolution requested: " + name + ". Skipping.");
            continue;
        }
        const FrameSize size = rendition_frame_size(*rung, source.width, source.height);
        plan.push_back({name, size.width, size.height, bitrate[i]});
        // Workers start at once, so planning the next names overlaps their work.
        workers.start(
            {input, directory + name + ".m3u8", size.width, size.height, bitrate[i], key});
    }
    workers.join_all();
    finish_job(output, plan, created_variants(plan, workers));
}
