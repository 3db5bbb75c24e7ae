// The Python module: hls_encoder, probe and versions, the rendition table and
// the version, and the translation of corvane's errors into the built-in
// exceptions a caller can catch.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ffmpeg/error.h"
#include "ffmpeg/headers.h"
#include "ffmpeg/versions.h"
#include "ladder/hls_encoder.h"
#include "ladder/plan.h"
#include "rendition/encoder_version.h"
#include "source/probe.h"

namespace py = pybind11;

namespace {

bool is_system_error(int code) { return code < 0 && -code < 4096; }

bool is_bad_data(int code) {
  return code == AVERROR_INVALIDDATA || code == AVERROR_STREAM_NOT_FOUND ||
         code == AVERROR_DECODER_NOT_FOUND || code == AVERROR_DEMUXER_NOT_FOUND ||
         code == AVERROR_PROTOCOL_NOT_FOUND || code == AVERROR(EINVAL);
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

py::object or_none(const auto& value) { return value ? py::cast(*value) : py::none(); }

py::dict probe(const std::string& input) {
  const corvane::source_probe probed = corvane::probe_source(input);
  py::list streams;
  for (const auto& stream : probed.streams)
    streams.append(py::dict(py::arg("index") = stream.index, py::arg("type") = stream.type,
                            py::arg("codec") = stream.codec));
  return py::dict(py::arg("duration") = or_none(probed.duration),
                  py::arg("width") = or_none(probed.width),
                  py::arg("height") = or_none(probed.height), py::arg("streams") = streams);
}

// The known renditions, in the default order: a tuple of named tuples
// (name, width, height, bitrate), landscape, read-only like every tuple.
py::tuple rendition_table() {
  const py::object rendition =
      py::module_::import("collections")
          .attr("namedtuple")("Rendition", py::make_tuple("name", "width", "height", "bitrate"),
                              py::arg("module") = "corvane");
  py::list table;
  for (const corvane::rung& known : corvane::ladder_table)
    table.append(rendition(known.name, known.long_side, known.short_side, known.default_bitrate));
  return py::tuple(table);
}

py::dict versions() {
  py::dict found;
  found["corvane"] = CORVANE_VERSION;
  for (const auto& [library, version] : corvane::ffmpeg_versions())
    found[library.c_str()] = version;
  found["libx264"] = corvane::h264_encoder_version();
  return found;
}

}  // namespace

PYBIND11_MODULE(corvane, m) {
  m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
  m.attr("__version__") = CORVANE_VERSION;
  m.attr("RENDITIONS") = rendition_table();

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

  m.def("probe", &probe, py::arg("input"),
        "What a source holds, read as hls_encoder reads it: duration (seconds, or None),\n"
        "width and height of the video stream it would encode (or None), and streams\n"
        "(index, type, codec). Raises as hls_encoder does when the source cannot be read.");
  m.def("versions", &versions,
        "The versions of corvane, of the FFmpeg libraries it runs with, and of libx264\n"
        "as the encoder says it.");
}
