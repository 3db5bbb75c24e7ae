#include "source/read_watch.h"

#include <cstdlib>

#include "ffmpeg/error.h"
#include "product/settings.h"

namespace corvane {

std::chrono::milliseconds read_timeout() {
  const char* setting = std::getenv("CORVANE_READ_TIMEOUT");
  if (setting == nullptr) return default_read_timeout;
  char* end = nullptr;
  const double seconds = std::strtod(setting, &end);
  if (end == setting || !(seconds > 0) || seconds > 86400) return default_read_timeout;
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

read_watch::read_watch(std::stop_token stop)
    : stop_(std::move(stop)), timeout_us_(read_timeout().count() * 1000) {
  starting();
}

AVIOInterruptCB read_watch::callback() { return AVIOInterruptCB{interrupted, this}; }

void read_watch::starting() {
  // A timeout stays: the input has given up, and later reads fail at once.
  if (!timed_out_) since_us_ = av_gettime_relative();
}

int read_watch::interrupted(void* watch) {
  return static_cast<read_watch*>(watch)->interrupted_now() ? 1 : 0;
}

bool read_watch::interrupted_now() {
  if (stop_.stop_requested()) return true;
  const std::int64_t now = av_gettime_relative();
  // Bytes that came in since the last look are progress: only a source that
  // sends nothing at all times out.
  if (format_ != nullptr && format_->pb != nullptr) {
    if (format_->pb->pos != last_position_) {
      last_position_ = format_->pb->pos;
      since_us_ = now;
    }
  }
  if (now - since_us_ > timeout_us_) timed_out_ = true;
  return timed_out_;
}

int read_watch::check(int ret, const std::string& doing, const std::string& url) {
  if (ret >= 0) return ret;
  if (ret == AVERROR_EXIT && stop_.stop_requested()) throw source_read_stopped();
  if (timed_out_)
    throw av_error(AVERROR(ETIMEDOUT),
                   doing + ": nothing came for " + std::to_string(timeout_us_ / 1'000'000) + " s",
                   url);
  throw av_error(ret, doing, url);
}

}  // namespace corvane
