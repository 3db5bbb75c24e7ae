#include "ladder/master_playlist.h"

#include <cerrno>
#include <fstream>

#include "transcoder/av_error.h"
#include "transcoder/ffmpeg.h"

namespace corvane {

std::string master_playlist_text(const std::vector<rendition_entry>& entries) {
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n";
  for (const auto& entry : entries) {
    text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(entry.bandwidth) +
            ",RESOLUTION=" + std::to_string(entry.width) + "x" + std::to_string(entry.height) +
            "\n" + entry.name + ".m3u8\n";
  }
  return text;
}

void write_master_playlist(const std::string& output,
                           const std::vector<rendition_entry>& entries) {
  const std::string text = master_playlist_text(entries);
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
