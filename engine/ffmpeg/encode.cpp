#include "ffmpeg/encode.h"

#include <string>

#include "ffmpeg/error.h"

namespace corvane {

void encode_frame(AVCodecContext* encoder, const AVFrame* frame, AVPacket* packet, const char* kind,
                  const packet_sink& sink) {
  check(avcodec_send_frame(encoder, frame), std::string(kind) + ": send frame to encoder");
  for (;;) {
    const int ret = avcodec_receive_packet(encoder, packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, std::string(kind) + ": receive packet from encoder");
    sink(packet);
    av_packet_unref(packet);
  }
}

}  // namespace corvane
