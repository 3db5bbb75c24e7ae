#include "ffmpeg/log.h"

#include <cstdarg>
#include <mutex>

#include "ffmpeg/headers.h"

namespace corvane {
namespace {

// Bounded so a decoder that complains on every packet cannot grow it without end.
constexpr std::size_t max_kept_chars = 1024;

thread_local std::string kept_errors;
thread_local int print_prefix = 1;

void keep_error_lines(void* avcl, int level, const char* fmt, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &print_prefix);
  std::string text(line);
  // "[hls @ 0x5581...] message": the address means nothing to the caller.
  if (const auto address = text.find(" @ 0x"); address != std::string::npos) {
    if (const auto bracket = text.find(']', address); bracket != std::string::npos)
      text.erase(address, bracket - address);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return;
  if (!kept_errors.empty()) kept_errors += "; ";
  kept_errors += text;
  if (kept_errors.size() > max_kept_chars)
    kept_errors.erase(0, kept_errors.size() - max_kept_chars);
}

}  // namespace

void capture_ffmpeg_log() {
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(keep_error_lines); });
}

bool ffmpeg_log_pending() { return !kept_errors.empty(); }

std::string take_ffmpeg_log() {
  std::string taken;
  taken.swap(kept_errors);
  return taken;
}

}  // namespace corvane
