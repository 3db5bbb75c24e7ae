#include "ffmpeg/error.h"

#include "ffmpeg/headers.h"
#include "ffmpeg/log.h"

namespace corvane {
namespace {

std::string compose_reason(int code, const std::string& doing) {
  std::string reason = doing + ": " + av_error_text(code);
  const std::string logged = take_ffmpeg_log();
  if (!logged.empty()) reason += " (" + logged + ")";
  return reason;
}

}  // namespace

av_error::av_error(int code, const std::string& doing, const std::string& path)
    : av_error(code, compose_reason(code, doing), path, 0) {}

av_error::av_error(int code, std::string reason, const std::string& path, int)
    : std::runtime_error(path.empty() ? reason : reason + ": '" + path + "'"),
      code_(code),
      reason_(std::move(reason)),
      path_(path) {}

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};  // per call, so safe on every worker
  av_strerror(code, text, sizeof text);
  return text;
}

int check(int ret, const std::string& doing, const std::string& path) {
  if (ret < 0) throw av_error(ret, doing, path);
  return ret;
}

}  // namespace corvane
