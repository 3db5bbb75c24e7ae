// Keeps FFmpeg's log off stderr. What FFmpeg says at error level is kept per
// thread, so a worker's error can carry FFmpeg's own words without any thread
// seeing another's messages.
#pragma once

#include <string>

namespace corvane {

// Routes FFmpeg's log to the per-thread capture; safe to call many times.
void capture_ffmpeg_log();

// Whether FFmpeg logged an error on this thread since the last take.
bool ffmpeg_log_pending();

// The error lines FFmpeg logged on this thread since the last call, joined by
// "; ", and forgets them.
std::string take_ffmpeg_log();

}  // namespace corvane
