#include "rendition/encoder_version.h"

#include <cstring>
#include <string_view>

#include "ffmpeg/encode.h"
#include "ffmpeg/error.h"
#include "ffmpeg/handles.h"
#include "ffmpeg/log.h"
#include "rendition/video_path.h"

namespace corvane {
namespace {

// The smallest picture libx264 takes: one macroblock.
constexpr int picture_side = 16;

// The version in libx264's user data SEI, which it writes once, into the first
// picture's packet: "x264 - core 164 r3095 baee400 - H.264/MPEG-4 AVC codec - ...".
std::string version_in(std::string_view data) {
  constexpr std::string_view marker = "x264 - core ";
  const std::size_t at = data.find(marker);
  if (at == std::string_view::npos) return {};
  const std::string_view rest = data.substr(at + marker.size());
  return std::string(rest.substr(0, rest.find(" - ")));
}

}  // namespace

std::string h264_encoder_version() {
  capture_ffmpeg_log();  // the encoder's chatter stays off stderr
  codec_context_ptr encoder =
      open_video_encoder(h264, require_video_encoder(h264), picture_side, picture_side, 100000);
  frame_ptr picture = alloc_scaled_frame(encoder.get());
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? picture_side : picture_side / 2;
    std::memset(picture->data[plane], 128, std::size_t(picture->linesize[plane]) * rows);
  }
  picture->pts = 0;
  packet_ptr packet = alloc_packet();
  std::string version;
  const packet_sink read = [&version](AVPacket* made) {
    if (version.empty())
      version = version_in({reinterpret_cast<const char*>(made->data), std::size_t(made->size)});
  };
  encode_frame(encoder.get(), picture.get(), packet.get(), "video", read);
  encode_frame(encoder.get(), nullptr, packet.get(), "video", read);
  return version;
}

}  // namespace corvane
