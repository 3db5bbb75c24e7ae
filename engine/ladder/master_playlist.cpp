#include "ladder/master_playlist.h"

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "ffmpeg/error.h"
#include "ffmpeg/headers.h"

namespace corvane {

namespace {

std::string three_decimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string master_playlist_text(const std::vector<rendition_entry>& entries,
                                 const output_layout& layout) {
  // Every segment starts with a key frame: the muxer cuts only at one.
  std::string text = "#EXTM3U\n#EXT-X-VERSION:" + std::to_string(layout.hls_version);
  text += "\n#EXT-X-INDEPENDENT-SEGMENTS\n";
  for (const auto& entry : entries) {
    text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(entry.peak_bit_rate) +
            ",AVERAGE-BANDWIDTH=" + std::to_string(entry.average_bit_rate);
    if (!entry.codecs.empty()) text += ",CODECS=\"" + entry.codecs + "\"";
    text += ",RESOLUTION=" + std::to_string(entry.width) + "x" + std::to_string(entry.height);
    if (entry.frame_rate > 0) text += ",FRAME-RATE=" + three_decimals(entry.frame_rate);
    // Appended piece by piece: GCC 12 takes "\n" + a returned string for an overlap.
    text += '\n';
    text += playlist_name(layout, entry.name);
    text += '\n';
  }
  return text;
}

void write_master_playlist(const std::string& output, const std::vector<rendition_entry>& entries,
                           const output_layout& layout) {
  const std::string text = master_playlist_text(entries, layout);
  errno = 0;
  std::ofstream file(output, std::ios::out | std::ios::trunc | std::ios::binary);
  if (file) file.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (file) file.close();
  if (!file) {
    const int reason = errno != 0 ? errno : EIO;
    throw av_error(AVERROR(reason), "cannot write master playlist", output);
  }
}

}  // namespace corvane
