// One error type for every FFmpeg failure: what corvane was doing, FFmpeg's own
// reason, the file or URL concerned, and the code, so the binding can raise the
// fitting Python exception.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

class av_error : public std::runtime_error {
 public:
  // `code` is a negative FFmpeg error code, `doing` says what failed, and `path`
  // (optional) names the file or URL it concerns. The message also carries the
  // error lines FFmpeg logged on this thread since the last error, if any.
  av_error(int code, const std::string& doing, const std::string& path = {});

  int code() const noexcept { return code_; }
  const std::string& path() const noexcept { return path_; }
  // The message without the path: "cannot open input: No such file or directory".
  const std::string& reason() const noexcept { return reason_; }

 private:
  av_error(int code, std::string reason, const std::string& path, int);

  int code_;
  std::string reason_;
  std::string path_;
};

// FFmpeg's text for an error code, e.g. "No such file or directory".
std::string av_error_text(int code);

// Passes a non-negative FFmpeg result through; throws av_error on a negative one.
int check(int ret, const std::string& doing, const std::string& path = {});

}  // namespace corvane
