// The native surface of vantrel, vantrel._engine: hls_encoder, the encode job
// behind a handle for the package's Python code to drive, the ladder and the media
// libraries' log level. Argument conversion and errors are pybind11's own;
// everything a caller of encode sees beyond this (results, progress, logging,
// the command line) is the package's Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "job/background_job.h"
#include "job/output_frame_rate.h"
#include "job/rendition_ladder.h"
#include "job/split_probe.h"
#include "log/ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace py = pybind11;

namespace {

// The job runs on the calling thread and keeps the interpreter lock: no
// worker ever calls into Python, and calls never overlap.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<int> bitrate, std::string key) {
    JobControl control; // its log is the console
    JobReport report;
    // FFmpeg's lines keep their default way too: standard error.
    const FfmpegLogScope ffmpeg_lines(&control.log);
    run_encode_job({std::move(input), std::move(output), std::move(resolution), std::move(bitrate),
                    std::move(key), specified_profile(), JobPart{}, {}, std::nullopt},
                   control, report);
}

// A job reaches Python as an opaque capsule rather than a bound class: a bound
// class would make the module call into the interpreter's vectorcall entry
// point, which a build for another minor version then fails to link against
// before its version check can say what is wrong.
constexpr const char* JOB_CAPSULE = "vantrel._engine.job";

void release_job(PyObject* capsule) {
    auto* job = static_cast<BackgroundJob*>(PyCapsule_GetPointer(capsule, JOB_CAPSULE));
    // A job dropped unfinished is stopped; its threads wind down without the lock.
    // clang-format off
    Py_BEGIN_ALLOW_THREADS
    delete job;
    Py_END_ALLOW_THREADS
    // clang-format on
}

BackgroundJob& job_of(const py::capsule& handle) {
    const char* name = handle.name();
    if (!name || std::strcmp(name, JOB_CAPSULE) != 0)
        throw py::type_error("not a job of vantrel._engine.start_job");
    return *handle.get_pointer<BackgroundJob>();
}

py::capsule start_entry(EncodeRequest request, JobEntry entry) {
    std::unique_ptr<BackgroundJob> job = start_background_job(std::move(request), entry);
    py::capsule handle(job.get(), JOB_CAPSULE, &release_job);
    job.release();
    return handle;
}

// A split job's plan's facts of a title, as plain data that travels to its
// parts through the job queue.
py::dict title_to_python(const Title& title) {
    const ColourDescription& c = title.colour;
    py::dict colour;
    colour["primaries"] = static_cast<int>(c.primaries);
    colour["transfer"] = static_cast<int>(c.transfer_characteristic);
    colour["matrix"] = static_cast<int>(c.matrix);
    colour["range"] = static_cast<int>(c.range);
    colour["bit_depth"] = c.bit_depth;
    colour["rgb"] = c.rgb;
    colour["guessed"] = c.guessed;
    colour["peak_nits"] = c.peak_nits;
    colour["dolby_vision_profile"] = c.dolby_vision_profile;
    colour["dolby_vision_compatibility"] = c.dolby_vision_compatibility;
    py::list audio;
    for (const AudioTrack& track : title.audio) {
        py::dict entry;
        entry["stream_index"] = track.stream_index;
        entry["language"] = track.language;
        entry["name"] = track.name;
        entry["default"] = track.is_default;
        entry["describes_video"] = track.describes_video;
        audio.append(entry);
    }
    py::list subtitles;
    for (const SubtitleTrack& track : title.subtitles) {
        py::dict entry;
        entry["stream_index"] = track.stream_index;
        entry["sidecar"] = py::bytes(track.sidecar);
        entry["language"] = track.language;
        entry["name"] = track.name;
        entry["default"] = track.is_default;
        entry["forced"] = track.forced;
        subtitles.append(entry);
    }
    py::list left_out;
    for (const LeftOutStream& stream : title.left_out) {
        py::dict entry;
        entry["stream_index"] = stream.stream_index;
        entry["kind"] = stream.kind;
        entry["reason"] = stream.reason;
        left_out.append(entry);
    }
    py::dict facts;
    facts["origin_us"] = title.origin_us;
    facts["frame_rate"] = py::make_tuple(title.clock.frame_rate.num, title.clock.frame_rate.den);
    facts["colour"] = colour;
    facts["audio"] = audio;
    facts["subtitles"] = subtitles;
    facts["left_out"] = left_out;
    return facts;
}

Title title_from_python(const py::dict& facts) {
    Title title;
    title.origin_us = facts["origin_us"].cast<int64_t>();
    const auto rate = facts["frame_rate"].cast<std::pair<int, int>>();
    if (rate.first <= 0 || rate.second <= 0)
        throw py::value_error("a title's frame rate must be positive");
    title.clock = clock_at_rate(AVRational{rate.first, rate.second});
    const py::dict colour = facts["colour"].cast<py::dict>();
    ColourDescription& c = title.colour;
    c.primaries = static_cast<AVColorPrimaries>(colour["primaries"].cast<int>());
    c.transfer_characteristic =
        static_cast<AVColorTransferCharacteristic>(colour["transfer"].cast<int>());
    c.transfer = c.transfer_characteristic == AVCOL_TRC_SMPTE2084     ? Transfer::pq
                 : c.transfer_characteristic == AVCOL_TRC_ARIB_STD_B67 ? Transfer::hlg
                                                                       : Transfer::sdr;
    c.matrix = static_cast<AVColorSpace>(colour["matrix"].cast<int>());
    c.range = static_cast<AVColorRange>(colour["range"].cast<int>());
    c.bit_depth = colour["bit_depth"].cast<int>();
    c.rgb = colour["rgb"].cast<bool>();
    c.guessed = colour["guessed"].cast<bool>();
    c.peak_nits = colour["peak_nits"].cast<double>();
    c.dolby_vision_profile = colour["dolby_vision_profile"].cast<int>();
    c.dolby_vision_compatibility = colour["dolby_vision_compatibility"].cast<int>();
    for (const py::handle entry : facts["audio"].cast<py::list>()) {
        const auto track = entry.cast<py::dict>();
        title.audio.push_back({track["stream_index"].cast<int>(),
                               track["language"].cast<std::string>(),
                               track["name"].cast<std::string>(), track["default"].cast<bool>(),
                               track["describes_video"].cast<bool>()});
    }
    for (const py::handle entry : facts["subtitles"].cast<py::list>()) {
        const auto track = entry.cast<py::dict>();
        title.subtitles.push_back({track["stream_index"].cast<int>(),
                                   track["sidecar"].cast<std::string>(),
                                   track["language"].cast<std::string>(),
                                   track["name"].cast<std::string>(), track["default"].cast<bool>(),
                                   track["forced"].cast<bool>()});
    }
    for (const py::handle entry : facts["left_out"].cast<py::list>()) {
        const auto stream = entry.cast<py::dict>();
        title.left_out.push_back({stream["stream_index"].cast<int>(),
                                  stream["kind"].cast<std::string>(),
                                  stream["reason"].cast<std::string>()});
    }
    return title;
}

// The package functions' jobs: upright, fitted, at the source's frame rate,
// with a measured master playlist.
std::vector<Sidecar> sidecars_from_python(const std::vector<std::pair<std::string, std::string>>& given) {
    std::vector<Sidecar> sidecars;
    for (const auto& [path, language] : given)
        sidecars.push_back({path, language});
    return sidecars;
}

py::capsule start(std::string input, std::string output, std::vector<std::string> renditions,
                  std::vector<int> bitrates, std::string key_info, bool upscale,
                  const std::vector<std::pair<std::string, std::string>>& subtitles) {
    return start_entry({std::move(input), std::move(output), std::move(renditions),
                        std::move(bitrates), std::move(key_info), package_profile(upscale),
                        JobPart{}, sidecars_from_python(subtitles), std::nullopt},
                       run_encode_job);
}

// A split job's parts, each on the title its plan learned.
py::capsule start_sound_part(std::string input, std::string work_dir, const py::dict& title) {
    JobPart part;
    part.work_dir = std::move(work_dir);
    return start_entry({std::move(input), "", {}, {}, "", package_profile(false), std::move(part),
                        {}, title_from_python(title)},
                       run_sound_part);
}

py::capsule start_pictures_part(std::string input, std::string work_dir, int64_t first_tick,
                                int64_t end_tick, int64_t seek_position,
                                std::vector<std::string> renditions, std::vector<int> bitrates,
                                bool upscale, const py::dict& title) {
    JobPart part;
    part.work_dir = std::move(work_dir);
    part.first_tick = first_tick;
    part.end_tick = end_tick;
    part.seek_position = seek_position;
    return start_entry({std::move(input), "", std::move(renditions), std::move(bitrates), "",
                        package_profile(upscale), std::move(part), {}, title_from_python(title)},
                       run_pictures_part);
}

py::capsule start_stitch(std::string input, std::string output,
                         std::vector<std::string> renditions, std::vector<int> bitrates,
                         std::string key_info, bool upscale, std::string work_dir,
                         std::vector<int64_t> window_starts, int sound_tracks,
                         const py::dict& title) {
    JobPart part;
    part.work_dir = std::move(work_dir);
    part.window_starts = std::move(window_starts);
    part.sound_tracks = sound_tracks;
    return start_entry({std::move(input), std::move(output), std::move(renditions),
                        std::move(bitrates), std::move(key_info), package_profile(upscale),
                        std::move(part), {}, title_from_python(title)},
                       run_stitch);
}

// Waits with the interpreter lock released; a signal (Ctrl-C) that arrived
// meanwhile is raised here, when the lock is back.
bool wait_for_job(const py::capsule& handle, double seconds) {
    BackgroundJob& job = job_of(handle);
    const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    bool ended = false;
    {
        const py::gil_scoped_release unlocked;
        ended = wait_for_background_job(job, timeout);
    }
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
    return ended;
}

// The job's lines, then FFmpeg's lines that no job's thread logged (its codecs'
// worker threads): whichever job's caller asks first takes those.
py::list take_job_lines(const py::capsule& handle) {
    py::list lines;
    const auto append = [&lines](const std::vector<LogLine>& taken) {
        for (const LogLine& line : taken)
            lines.append(py::make_tuple(line.level, py::bytes(line.message), line.from_ffmpeg));
    };
    append(take_log_lines(job_of(handle).control.log));
    append(take_unattributed_ffmpeg_lines());
    return lines;
}

py::tuple job_progress(const py::capsule& handle) {
    const ProgressSnapshot snapshot = read_progress(job_of(handle).report);
    py::list renditions;
    for (const RenditionSnapshot& rendition : snapshot.renditions)
        renditions.append(py::make_tuple(rendition.name, rendition.pictures, rendition.written_us));
    return py::make_tuple(snapshot.input_duration_us, renditions);
}

// (video renditions, master playlist written, job error, input duration in
// us, source colour, colour conversion: empty when the profile keeps colours,
// audio tracks a sound part wrote, audio renditions, subtitle renditions,
// streams left out),
// each video rendition (name, playlist, created, step, reason, pictures,
// written us, skip reason, width, height, frame rate, peak bps, average bps,
// codecs),
// each audio track (name, language, default, describes video, its rendition's
// playlist or empty when it is every variant's sound, created, step, reason,
// peak bps, average bps, input stream index),
// each subtitle rendition (name, language, default, forced, playlist,
// created, step, reason, input stream index or -1, sidecar path),
// each stream left out (input stream index, kind, reason).
py::tuple finish(const py::capsule& handle) {
    BackgroundJob& job = job_of(handle);
    {
        const py::gil_scoped_release unlocked;
        finish_background_job(job);
    }
    const JobReport& report = job.report;
    const Title& title = report.title;
    py::list renditions;
    // Every audio track: a rendition of its own when there are several, else
    // the sound of every variant (no playlist of its own).
    py::list audio;
    for (std::size_t t = 0; t < title.audio.size(); ++t) {
        const AudioTrack& track = title.audio[t];
        std::string playlist, step, reason;
        bool created = false;
        VariantFigures figures;
        for (std::size_t k = 0; k < report.plan.size(); ++k)
            if (report.plan[k].audio_track == static_cast<int>(t)) {
                playlist = report.plan[k].playlist_path;
                created = report.outcomes[k].created;
                step = report.outcomes[k].step;
                reason = report.outcomes[k].reason;
                figures = report.outcomes[k].figures;
            }
        audio.append(py::make_tuple(track.name, track.language, track.is_default,
                                    track.describes_video, py::bytes(playlist), created,
                                    py::bytes(step), py::bytes(reason), figures.peak_bps,
                                    figures.average_bps, track.stream_index));
    }
    for (std::size_t k = 0; k < report.plan.size(); ++k) {
        const Rendition& rendition = report.plan[k];
        const RenditionOutcome& outcome = report.outcomes[k];
        if (rendition.audio_track >= 0)
            continue;
        renditions.append(py::make_tuple(
            rendition.name, py::bytes(rendition.playlist_path), outcome.created,
            py::bytes(outcome.step), py::bytes(outcome.reason), outcome.progress.pictures.load(),
            outcome.progress.written_us.load(), rendition.skip_reason, rendition.width,
            rendition.height, av_q2d(rendition.clock.frame_rate), outcome.figures.peak_bps,
            outcome.figures.average_bps, outcome.codecs));
    }
    py::list subtitles;
    for (std::size_t k = 0; k < report.subtitle_outcomes.size(); ++k) {
        const SubtitleTrack& track = title.subtitles[k];
        const SubtitleOutcome& outcome = report.subtitle_outcomes[k];
        subtitles.append(py::make_tuple(track.name, track.language, track.is_default, track.forced,
                                        py::bytes(outcome.playlist_path), outcome.created,
                                        py::bytes(outcome.step), py::bytes(outcome.reason),
                                        track.stream_index, py::bytes(track.sidecar)));
    }
    py::list left_out;
    for (const LeftOutStream& stream : title.left_out)
        left_out.append(py::make_tuple(stream.stream_index, stream.kind, stream.reason));
    return py::make_tuple(renditions, report.master_written, py::bytes(report.error),
                          report.input_duration_us, report.source_colour,
                          report.colour_conversion, report.sound_tracks_written, audio, subtitles,
                          left_out);
}

void stop(const py::capsule& handle) {
    BackgroundJob& job = job_of(handle);
    const py::gil_scoped_release unlocked;
    stop_background_job(job);
}

// What a split job's plan needs: why the title cannot be split (or ""), its
// length in microseconds (-1 unknown), the pictures of a segment, and the
// title's facts for its parts.
py::dict probe_split(const std::string& input,
                     const std::vector<std::pair<std::string, std::string>>& subtitles) {
    SplitProbe probe;
    const std::vector<Sidecar> sidecars = sidecars_from_python(subtitles);
    {
        const py::gil_scoped_release unlocked;
        probe = probe_for_split(input, package_profile(false), sidecars);
    }
    py::dict found;
    found["unsplittable"] = probe.unsplittable;
    found["duration_us"] = probe.duration_us;
    found["segment_pictures"] = probe.title.clock.segment_pictures;
    found["first_picture_tick"] = probe.first_picture_tick;
    found["title"] = title_to_python(probe.title);
    py::list key_pictures;
    for (const KeyPicture& key : probe.key_pictures)
        key_pictures.append(py::make_tuple(key.tick, key.position));
    found["key_pictures"] = key_pictures;
    return found;
}

py::list ladder() {
    py::list rungs;
    for (const RenditionRung& rung : rendition_ladder())
        rungs.append(
            py::make_tuple(rung.name, rung.long_side, rung.short_side, rung.default_bitrate));
    return rungs;
}

} // namespace

PYBIND11_MODULE(_engine, m) {
    route_ffmpeg_log();
    m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
    m.attr("__version__") = VANTREL_VERSION;
    m.def("hls_encoder", &hls_encoder, "Transcode video to HLS with dynamic ABR", py::arg("input"),
          py::arg("output"),
          py::arg("resolution") = std::vector<std::string>{"1080p", "720p", "480p", "360p"},
          py::arg("bitrate") = std::vector<int>{5000000, 2500000, 1000000, 400000},
          py::arg("key") = std::string("enc.keyinfo"));

    m.def("start_job", &start, py::arg("input"), py::arg("output"), py::arg("renditions"),
          py::arg("bitrates"), py::arg("key_info"), py::arg("upscale"),
          py::arg("subtitles") = std::vector<std::pair<std::string, std::string>>{},
          "Starts an encode job on a native thread and returns its handle; its lines are kept "
          "for take_job_lines.");
    m.def("start_sound_part", &start_sound_part, py::arg("input"), py::arg("work_dir"),
          py::arg("title"), "Starts a split job's sound part, as start_job starts a job.");
    m.def("start_pictures_part", &start_pictures_part, py::arg("input"), py::arg("work_dir"),
          py::arg("first_tick"), py::arg("end_tick"), py::arg("seek_position"),
          py::arg("renditions"), py::arg("bitrates"), py::arg("upscale"), py::arg("title"),
          "Starts a split job's part for the pictures of [first_tick, end_tick) (-1: to the end), "
          "reading from the byte `seek_position` (-1: a seek by time).");
    m.def("start_stitch", &start_stitch, py::arg("input"), py::arg("output"),
          py::arg("renditions"), py::arg("bitrates"), py::arg("key_info"), py::arg("upscale"),
          py::arg("work_dir"), py::arg("window_starts"), py::arg("sound_tracks"), py::arg("title"),
          "Starts a split job's stitch of the windows starting at window_starts.");
    m.def("wait_for_job", &wait_for_job, py::arg("job"), py::arg("seconds"),
          "Waits up to `seconds` for the job to end, without the interpreter lock; True once it "
          "has. Raises what a signal handler raised meanwhile.");
    m.def("take_job_lines", &take_job_lines, py::arg("job"),
          "The job's log lines since the last call, oldest first: (level, message bytes, from "
          "FFmpeg), the level the engine's or, for FFmpeg's lines, av_log's.");
    m.def("job_progress", &job_progress, py::arg("job"),
          "(input duration in microseconds or -1, [(rendition, pictures, microseconds written), "
          "...]).");
    m.def("finish_job", &finish, py::arg("job"),
          "Once the job ended: keeps its files and returns what it did; raises what escaped it.");
    m.def("stop_job", &stop, py::arg("job"),
          "Stops the job, waits for its threads and removes every file it wrote.");
    m.def("probe_split", &probe_split, py::arg("input"),
          py::arg("subtitles") = std::vector<std::pair<std::string, std::string>>{},
          "{'unsplittable': why the input cannot be split or '', 'duration_us': length or -1, "
          "'segment_pictures': pictures per segment, 'first_picture_tick': where the first "
          "segment starts, 'title': the facts every part takes, "
          "'key_pictures': [(tick, byte position), ...] of a title without an index}.");
    m.def("ladder", &ladder, "The known renditions: (name, long side, short side, bitrate).");
    m.def("set_library_log_level", &av_log_set_level, py::arg("level"),
          "The media libraries' own log level for this process (av_log_set_level).");
}
