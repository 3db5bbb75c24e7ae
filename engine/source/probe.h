// What a source holds, as far as its header and first packets tell: read for
// the corvane command's progress bars, under the same source policy as a call
// (open_input), so that nothing else ever opens an upload.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct probed_stream {
  int index = 0;
  std::string type;   // "video", "audio", "subtitle", "data", "attachment" or "unknown"
  std::string codec;  // FFmpeg's name for it, "none" when it has none
};

struct source_probe {
  std::optional<double> duration;  // seconds; nothing when the container does not say
  // The stored picture size of the video stream a call would encode; nothing
  // without a decodable video stream.
  std::optional<int> width;
  std::optional<int> height;
  std::vector<probed_stream> streams;
};

// Opens `input` as hls_encoder does and reads its stream information, decoding
// nothing further; a read that waits longer than read_timeout() fails. Throws
// as a call would, naming the input, when it cannot be opened or read.
source_probe probe_source(const std::string& input);

}  // namespace corvane
