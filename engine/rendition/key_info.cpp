#include "rendition/key_info.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>

#include "ffmpeg/error.h"
#include "ffmpeg/handles.h"

namespace corvane {
namespace {

// The longest key info line the hls muxer keeps (FFmpeg's MAX_URL_SIZE).
constexpr std::size_t key_info_line_chars = 4096;

// One line as the muxer's line reader (ff_get_line) takes it.
std::string read_line(AVIOContext* file) {
  std::string line;
  for (;;) {
    const int c = avio_r8(file);  // 0 at the end of the file
    if (c == 0 || c == '\n') return line;
    if (c == '\r') {
      if (avio_r8(file) != '\n' && !avio_feof(file)) avio_skip(file, -1);
      return line;
    }
    if (line.size() < key_info_line_chars) line.push_back(static_cast<char>(c));
  }
}

}  // namespace

key_info_lines read_key_info(const std::string& url, const AVIOInterruptCB* interrupt) {
  AVIOContext* raw = nullptr;
  const int opened = avio_open2(&raw, url.c_str(), AVIO_FLAG_READ, interrupt, nullptr);
  io_context_ptr file(raw);
  check(opened, "open key info file", url);
  key_info_lines lines{read_line(file.get()), read_line(file.get()), read_line(file.get())};
  if (file->error < 0) throw av_error(file->error, "read key info file", url);
  return lines;
}

std::string random_iv() {
  unsigned char bytes[16];
  std::size_t drawn = 0;
  while (drawn < sizeof bytes) {
    const ssize_t got = getrandom(bytes + drawn, sizeof bytes - drawn, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw av_error(AVERROR(errno), "draw a random IV");
    drawn += static_cast<std::size_t>(got);
  }
  char hex[2 * sizeof bytes + 1];
  for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return hex;
}

}  // namespace corvane
