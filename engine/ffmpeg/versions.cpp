#include "ffmpeg/versions.h"

#include "ffmpeg/headers.h"

namespace corvane {
namespace {

std::string dotted(unsigned version) {
  return std::to_string(AV_VERSION_MAJOR(version)) + "." +
         std::to_string(AV_VERSION_MINOR(version)) + "." +
         std::to_string(AV_VERSION_MICRO(version));
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ffmpeg_versions() {
  return {{"ffmpeg", av_version_info()},
          {"libavformat", dotted(avformat_version())},
          {"libavcodec", dotted(avcodec_version())},
          {"libavfilter", dotted(avfilter_version())},
          {"libswscale", dotted(swscale_version())},
          {"libswresample", dotted(swresample_version())},
          {"libavutil", dotted(avutil_version())}};
}

}  // namespace corvane
