#include "source/source_policy.h"

#include <string_view>

#include "ffmpeg/error.h"

namespace corvane {

// Each is a demuxer that reads its media from the one file it is given and
// opens nothing else; FFmpeg's name for it matches when any of its
// comma-separated names does ("mov" is "mov,mp4,m4a,3gp,3g2,mj2").
const char* const local_source_formats =
    "mov,"       // phones (.mov from iPhones, .mp4 from Android, .3gp), cameras, editors' exports
    "matroska,"  // .mkv from screen recorders, .webm from browsers' MediaRecorder
    "mpegts,"    // camcorders' AVCHD .mts/.m2ts, HDV .m2t, broadcast and capture recordings
    "mpeg,"      // MPEG program streams: DVD .vob, older camcorders' .mpg/.mod/.tod
    "avi,"       // older digital cameras (Motion JPEG with PCM), DV .avi, capture tools
    "dv,"        // raw DV from tape camcorders
    "mxf,"       // professional cameras (XDCAM, XF) with picture and sound in one file
    "flv,"       // older web and streaming-software recordings
    "ogg,"       // Theora video from free-software tools
    "asf,"       // Windows Media .wmv
    "h264,"      // raw H.264 and HEVC elementary streams (dashcams, drones, encoders);
    "hevc";      // they hold no sound, so their ladders get silence

namespace {

[[noreturn]] void refuse(const AVInputFormat* format, const std::string& url) {
  throw av_error(AVERROR_INVALIDDATA,
                 std::string("refused source format '") + format->name +
                     "': a local source must be one self-contained media file",
                 url);
}

}  // namespace

bool is_local_source(const std::string& url) {
  const char* protocol = avio_find_protocol_name(url.c_str());
  return protocol != nullptr && std::string_view(protocol) == "file";
}

void refuse_multi_file_name(const std::string& url) {
  // What avformat_open_input does before it opens anything: only demuxers that
  // open their own files (AVFMT_NOFILE) are asked, by the name alone.
  AVProbeData by_name{};
  by_name.filename = url.c_str();
  int score = AVPROBE_SCORE_RETRY;
  if (const AVInputFormat* format = av_probe_input_format2(&by_name, 0, &score))
    refuse(format, url);
}

const AVInputFormat* probe_local_format(AVIOContext* io, const std::string& url) {
  const AVInputFormat* format = nullptr;
  check(av_probe_input_buffer2(io, &format, url.c_str(), nullptr, 0, 0), "cannot open input", url);
  if (av_match_list(format->name, local_source_formats, ',') <= 0) refuse(format, url);
  return format;
}

void confine_to_own_file(AVFormatContext* context) {
  // avformat_open_input checks the demuxer against this list once more.
  check(av_opt_set(context, "format_whitelist", local_source_formats, 0),
        "set the format whitelist");
  // No protocol at all: also for demuxers that open through the protocol
  // layer instead of io_open (DASH does), and for contexts nested in this one,
  // which inherit the list.
  check(av_opt_set(context, "protocol_whitelist", "", 0), "set the protocol whitelist");
  context->io_open = refuse_nested_open;
}

int refuse_nested_open(AVFormatContext* context, AVIOContext** pb, const char* url, int /*flags*/,
                       AVDictionary** /*options*/) {
  *pb = nullptr;
  av_log(context, AV_LOG_ERROR, "refused to open '%s': a local source may read only itself\n", url);
  return AVERROR(EPERM);
}

}  // namespace corvane
