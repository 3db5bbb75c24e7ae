#include "source/probe.h"

#include <stop_token>

#include "ffmpeg/handles.h"
#include "ffmpeg/log.h"
#include "source/read_watch.h"
#include "source/source_input.h"

namespace corvane {

source_probe probe_source(const std::string& input) {
  capture_ffmpeg_log();
  take_ffmpeg_log();  // earlier calls' leftovers on this thread are not this probe's
  // No stop but the read timeout: the command runs a probe in a process of its
  // own, which it ends to stop it.
  read_watch watch{std::stop_token()};
  format_context_ptr format = open_source_format(input, watch);
  source_probe probe;
  if (format->duration != AV_NOPTS_VALUE && format->duration >= 0)
    probe.duration = double(format->duration) / AV_TIME_BASE;
  // The stream a call would pick: the best one this FFmpeg can decode.
  const AVCodec* decoder = nullptr;
  const int video = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (video >= 0) {
    probe.width = format->streams[video]->codecpar->width;
    probe.height = format->streams[video]->codecpar->height;
  }
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* parameters = format->streams[i]->codecpar;
    const char* type = av_get_media_type_string(parameters->codec_type);
    probe.streams.push_back(
        {int(i), type != nullptr ? type : "unknown", avcodec_get_name(parameters->codec_id)});
  }
  return probe;
}

}  // namespace corvane
