// The ladder planner behind corvane.hls_encoder.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {

// Some renditions failed; the message names each one and why.
class ladder_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Probes `input`, plans one rendition per known name in `resolution` (bitrates
// completed from the defaults), transcodes every rendition on a thread of its
// own beside the master playlist `output`, measures the renditions that
// completed from their files, and writes the master playlist for them. Throws
// av_error before any work when the input, the output directory or the key
// info file is unusable, std::invalid_argument when the plan is (no known
// name, a bitrate not above 0), and ladder_error after every worker has ended
// when any rendition failed or its files could not be measured.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key);

}  // namespace corvane
