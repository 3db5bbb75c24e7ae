// What ends a blocking read of the source: a stop (Ctrl-C, or every rendition
// gone), or a source that sends nothing for `read_timeout`. FFmpeg asks an
// input's interrupt callback again and again while it waits, on every
// protocol; the watch answers it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "ffmpeg/headers.h"

namespace corvane {

// The call was stopped while it read the source. Never reaches the caller: the
// stop's own reason (KeyboardInterrupt, the renditions' failures) does.
class source_read_stopped : public std::runtime_error {
 public:
  source_read_stopped() : std::runtime_error("stopped while reading the source") {}
};

// How long a read may wait for the source to send anything: 30 s, or the
// seconds that the environment variable CORVANE_READ_TIMEOUT gives.
std::chrono::milliseconds read_timeout();

class read_watch {
 public:
  explicit read_watch(std::stop_token stop);
  read_watch(const read_watch&) = delete;
  read_watch& operator=(const read_watch&) = delete;

  // The callback to give every context that reads the source.
  AVIOInterruptCB callback();
  // Watches `format`'s reading: data arriving counts as progress.
  void watch(const AVFormatContext* format) { format_ = format; }
  // A blocking step starts now: the timeout counts from here.
  void starting();

  // Passes a non-negative result through; throws source_read_stopped when the
  // step was stopped, av_error (AVERROR(ETIMEDOUT)) naming `url` when it timed
  // out, and av_error with `doing` for any other failure.
  int check(int ret, const std::string& doing, const std::string& url);

 private:
  static int interrupted(void* watch);
  bool interrupted_now();

  const std::stop_token stop_;
  const std::int64_t timeout_us_;
  const AVFormatContext* format_ = nullptr;
  std::int64_t since_us_ = 0;  // the step's start, or the last data that came
  std::int64_t last_position_ = -1;
  std::atomic<bool> timed_out_{false};
};

}  // namespace corvane
