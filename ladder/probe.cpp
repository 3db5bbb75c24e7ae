#include "ladder/probe.h"

#include <sys/stat.h>

#include <cerrno>

#include "ladder/plan.h"
#include "transcoder/av_error.h"
#include "transcoder/av_handles.h"

namespace corvane {

source_size probe_source(const std::string& input) {
  format_context_ptr source = open_input(input);
  check(avformat_find_stream_info(source.get(), nullptr), "cannot read stream information",
        input);
  const AVCodec* decoder = nullptr;
  const int video = av_find_best_stream(source.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  check(video, "no decodable video stream", input);
  check(av_find_best_stream(source.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0),
        "no decodable audio stream", input);
  const AVCodecParameters* picture = source->streams[video]->codecpar;
  return {picture->width, picture->height};
}

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
