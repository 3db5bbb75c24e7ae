#include "ladder/preflight.h"

#include <sys/stat.h>

#include <cerrno>

#include "ladder/plan.h"
#include "transcoder/av_error.h"
#include "transcoder/ffmpeg.h"

namespace corvane {

void require_output_directory(const std::string& output) {
  const std::string directory = directory_of(output);
  const std::string checked = directory.empty() ? "." : directory;
  struct stat info {};
  if (stat(checked.c_str(), &info) != 0)
    throw av_error(AVERROR(errno), "output directory does not exist", checked);
  if (!S_ISDIR(info.st_mode))
    throw av_error(AVERROR(ENOTDIR), "output directory is not a directory", checked);
}

void require_key_info_file(const std::string& key_info_file) {
  // Only what is certain is reported here: a URL whose protocol cannot be
  // checked is left to the muxer.
  const int access = avio_check(key_info_file.c_str(), AVIO_FLAG_READ);
  if (access == AVERROR(ENOENT) || access == AVERROR(EACCES))
    throw av_error(access, "cannot read key info file", key_info_file);
  if (access >= 0 && !(access & AVIO_FLAG_READ))
    throw av_error(AVERROR(EACCES), "cannot read key info file", key_info_file);
}

}  // namespace corvane
