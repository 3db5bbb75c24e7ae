// The ladder planner behind corvane.hls_encoder.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {

// Some renditions failed; the message names each one and why.
class ladder_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Opens `input`, plans one rendition per known name in `resolution` (bitrates
// completed from the defaults), and makes every rendition beside the master
// playlist `output`: one source stage reads and decodes the source once and
// feeds one worker thread per rendition. Then measures the renditions that
// completed from their files and writes the master playlist for them. Throws
// av_error before any work when the input, the output directory or the key
// info file is unusable, std::invalid_argument when the plan is (no known
// name, a bitrate not above 0), and ladder_error after every thread has ended
// when any rendition failed or its files could not be measured.
// `poll`, when given, runs on the calling thread about every 100 ms while the
// threads work; what it throws stops them all and is rethrown once they ended.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key,
                 const std::function<void()>& poll = {});

}  // namespace corvane
