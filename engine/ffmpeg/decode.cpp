#include "ffmpeg/decode.h"

namespace corvane {
namespace {

// Delayed frames a drain skips in a row before it takes the decoder for
// broken: each failure is one frame, so a decoder cannot keep it going forever.
constexpr int max_skipped_frames = 256;

}  // namespace

void decode_packet(AVCodecContext* decoder, const AVPacket* packet, AVFrame* decoded,
                   const frame_step& step) {
  if (avcodec_send_packet(decoder, packet) < 0) return;
  while (avcodec_receive_frame(decoder, decoded) >= 0) {
    step(decoded);
    av_frame_unref(decoded);
  }
}

void drain_decoder(AVCodecContext* decoder, AVFrame* decoded, const frame_step& step) {
  // A decoder that is already drained refuses the flush; it has nothing left.
  avcodec_send_packet(decoder, nullptr);
  for (int skipped = 0; skipped < max_skipped_frames;) {
    const int ret = avcodec_receive_frame(decoder, decoded);
    if (ret == AVERROR_EOF || ret == AVERROR(EAGAIN)) return;
    if (ret < 0) {
      ++skipped;
      continue;
    }
    skipped = 0;
    step(decoded);
    av_frame_unref(decoded);
  }
}

}  // namespace corvane
