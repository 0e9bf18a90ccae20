// The native surface of vantrel, vantrel._engine: hls_encoder, the encode job
// as a handle for the package's Python code to drive, the ladder and the media
// libraries' log level. Argument conversion and errors are pybind11's own;
// everything a caller of encode sees beyond this (results, progress, logging,
// the command line) is the package's Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "job/background_job.h"
#include "job/rendition_ladder.h"

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
    run_encode_job({std::move(input), std::move(output), std::move(resolution), std::move(bitrate),
                    std::move(key)},
                   control, report);
}

std::unique_ptr<BackgroundJob> start_job(std::string input, std::string output,
                                         std::vector<std::string> renditions,
                                         std::vector<int> bitrates, std::string key_info) {
    return start_background_job({std::move(input), std::move(output), std::move(renditions),
                                 std::move(bitrates), std::move(key_info)});
}

// Waits with the interpreter lock released; a signal (Ctrl-C) that arrived
// meanwhile is raised here, when the lock is back.
bool wait_for(BackgroundJob& job, double seconds) {
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

py::list take_lines(BackgroundJob& job) {
    py::list lines;
    for (const LogLine& line : take_log_lines(job.control.log))
        lines.append(py::make_tuple(line.level, py::bytes(line.message)));
    return lines;
}

py::tuple progress(const BackgroundJob& job) {
    const ProgressSnapshot snapshot = read_progress(job.report);
    py::list renditions;
    for (const RenditionSnapshot& rendition : snapshot.renditions)
        renditions.append(py::make_tuple(rendition.name, rendition.pictures, rendition.written_us));
    return py::make_tuple(snapshot.input_duration_us, renditions);
}

// (renditions, master playlist written, job error, input duration in us),
// each rendition (name, playlist, created, step, reason, pictures, written us).
py::tuple finish(BackgroundJob& job) {
    {
        const py::gil_scoped_release unlocked;
        finish_background_job(job);
    }
    const JobReport& report = job.report;
    py::list renditions;
    for (std::size_t k = 0; k < report.plan.size(); ++k) {
        const RenditionOutcome& outcome = report.outcomes[k];
        renditions.append(py::make_tuple(
            report.plan[k].name, py::bytes(report.plan[k].playlist_path), outcome.created,
            py::bytes(outcome.step), py::bytes(outcome.reason), outcome.progress.pictures.load(),
            outcome.progress.written_us.load()));
    }
    return py::make_tuple(renditions, report.master_written, py::bytes(report.error),
                          report.input_duration_us);
}

void stop(BackgroundJob& job) {
    const py::gil_scoped_release unlocked;
    stop_background_job(job);
}

py::list ladder() {
    py::list rungs;
    for (const RenditionRung& rung : rendition_ladder())
        rungs.append(py::make_tuple(rung.name, rung.long_side, rung.short_side,
                                    rung.default_bitrate));
    return rungs;
}

} // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
    m.attr("__version__") = VANTREL_VERSION;
    m.def("hls_encoder", &hls_encoder, "Transcode video to HLS with dynamic ABR", py::arg("input"),
          py::arg("output"),
          py::arg("resolution") = std::vector<std::string>{"1080p", "720p", "480p", "360p"},
          py::arg("bitrate") = std::vector<int>{5000000, 2500000, 1000000, 400000},
          py::arg("key") = std::string("enc.keyinfo"));

    py::class_<BackgroundJob>(m, "Job", "An encode job running on a native thread of its own.")
        .def("wait", &wait_for, py::arg("seconds"),
             "Waits up to `seconds` for the job to end, without the interpreter lock; True once "
             "it has. Raises what a signal handler raised meanwhile.")
        .def("take_lines", &take_lines,
             "The job's log lines since the last call, oldest first: (level, message bytes).")
        .def("progress", &progress,
             "(input duration in microseconds or -1, [(rendition, pictures, microseconds "
             "written), ...]).")
        .def("finish", &finish,
             "Once the job ended: keeps its files and returns what it did; raises what escaped "
             "it.")
        .def("stop", &stop,
             "Stops the job, waits for its threads and removes every file it wrote.");
    m.def("start_job", &start_job, py::arg("input"), py::arg("output"), py::arg("renditions"),
          py::arg("bitrates"), py::arg("key_info"),
          "Starts an encode job on a native thread; its lines are kept for take_lines.");
    m.def("ladder", &ladder, "The known renditions: (name, long side, short side, bitrate).");
    m.def("set_library_log_level", &av_log_set_level, py::arg("level"),
          "The media libraries' own log level for this process (av_log_set_level).");
}
