#include "ladder/preflight.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "ffmpeg/error.h"
#include "ffmpeg/headers.h"
#include "ladder/plan.h"

namespace corvane {

void require_output_directory(const std::string& output) {
  const std::string directory = directory_of(output);
  const std::string checked = directory.empty() ? "." : directory;
  struct stat info{};
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

namespace {

// The file `path` names, links followed: those whose target does not exist yet
// too, since writing through one creates its target.
std::filesystem::path followed(std::filesystem::path path, std::error_code& failed) {
  namespace fs = std::filesystem;
  for (int hops = 0; hops < 40 && fs::is_symlink(path, failed); ++hops) {
    const fs::path target = fs::read_symlink(path, failed);
    if (failed) return path;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return fs::weakly_canonical(path, failed);
}

}  // namespace

void require_master_apart(const std::string& output, const std::vector<std::string>& names,
                          const output_layout& layout) {
  namespace fs = std::filesystem;
  // Absolute first: a bare name's parent is empty, and a relative path that
  // does not exist yet stays relative through weakly_canonical, so neither
  // would ever equal the folder's canonical path.
  std::error_code absolute_failed, master_failed, folder_failed;
  const fs::path master = fs::absolute(fs::path(output), absolute_failed);
  // What writing the master would replace, links followed; the renditions'
  // files are named in the master's own folder.
  const fs::path replaced = followed(master, master_failed);
  const fs::path renditions_folder = fs::weakly_canonical(master.parent_path(), folder_failed);
  // The directory check reports what is wrong with the folder.
  if (absolute_failed || master_failed || folder_failed) return;
  if (replaced.parent_path() != renditions_folder) return;
  const std::string file = replaced.filename().string();
  for (const std::string& name : names) {
    if (file == playlist_name(layout, name) || is_segment_name(layout, file, name))
      throw std::invalid_argument("the master playlist '" + output + "' would replace " +
                                  "rendition " + name + "'s file " + file +
                                  "; give the master playlist another name");
  }
}

}  // namespace corvane
