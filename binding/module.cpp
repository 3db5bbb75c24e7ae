// The Python module: one function, hls_encoder, and the translation of
// corvane's errors into the built-in exceptions a caller can catch.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ladder/plan.h"
#include "ladder/planner.h"
#include "ffmpeg/error.h"
#include "ffmpeg/headers.h"

namespace py = pybind11;

namespace {

bool is_system_error(int code) { return code < 0 && -code < 4096; }

bool is_bad_data(int code) {
  return code == AVERROR_INVALIDDATA || code == AVERROR_STREAM_NOT_FOUND ||
         code == AVERROR_DECODER_NOT_FOUND || code == AVERROR_DEMUXER_NOT_FOUND ||
         code == AVERROR(EINVAL);
}

void raise_av_error(const corvane::av_error& error) {
  const int code = error.code();
  if (code == AVERROR(ENOMEM)) {
    py::set_error(PyExc_MemoryError, error.what());
  } else if (is_bad_data(code)) {
    py::set_error(PyExc_ValueError, error.what());
  } else if (is_system_error(code)) {
    // OSError picks the subclass from errno: FileNotFoundError for ENOENT,
    // PermissionError for EACCES, and so on.
    if (error.path().empty())
      py::set_error(PyExc_OSError, py::make_tuple(-code, error.reason()));
    else
      py::set_error(PyExc_OSError, py::make_tuple(-code, error.reason(), error.path()));
  } else {
    py::set_error(PyExc_OSError, error.what());
  }
}

}  // namespace

PYBIND11_MODULE(corvane, m) {
  m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";

  py::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const corvane::av_error& error) {
      raise_av_error(error);
    }
  });

  m.def(
      "hls_encoder",
      [](std::string input, std::string output, std::vector<std::string> resolution,
         std::vector<std::int32_t> bitrate, std::string key) {
        // The call holds the interpreter lock throughout; Ctrl-C is seen by
        // checking for signals while the ladder's threads work.
        corvane::hls_encoder(std::move(input), std::move(output), std::move(resolution),
                             std::move(bitrate), std::move(key), [] {
                               if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                             });
      },
      "Transcode video to HLS with dynamic ABR", py::arg("input"), py::arg("output"),
      py::arg("resolution") = corvane::default_resolution(),
      py::arg("bitrate") = corvane::default_bitrates(),
      py::arg("key") = std::string("enc.keyinfo"));
}
