// The Python surface of vantrel: one function, hls_encoder, over the encode
// job driver. Argument conversion and errors are pybind11's own.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "job/encode_job.h"

namespace py = pybind11;

namespace {

// The job runs on the calling thread and keeps the interpreter lock: no
// worker ever calls into Python, and calls never overlap.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<int> bitrate, std::string key) {
    run_encode_job(std::move(input), std::move(output), std::move(resolution), std::move(bitrate),
                   std::move(key));
}

} // namespace

PYBIND11_MODULE(vantrel, m) {
    m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
    m.def("hls_encoder", &hls_encoder, "Transcode video to HLS with dynamic ABR", py::arg("input"),
          py::arg("output"),
          py::arg("resolution") = std::vector<std::string>{"1080p", "720p", "480p", "360p"},
          py::arg("bitrate") = std::vector<int>{5000000, 2500000, 1000000, 400000},
          py::arg("key") = std::string("enc.keyinfo"));
}
