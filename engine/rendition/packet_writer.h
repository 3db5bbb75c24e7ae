// The one way a rendition's packets reach its HLS output: each encoder's
// packets, given their durations where the encoder leaves them out, and
// written through the muxer's interleaving.
#pragma once

#include <cstdint>
#include <map>

#include "ffmpeg/headers.h"

namespace corvane {

// Writes one packet, timed in `time_base`, to `stream`; the muxer takes the
// packet's contents and leaves it blank. Throws av_error naming `kind` when the
// muxer refuses the packet or failed to write a segment or playlist file.
void write_packet(AVFormatContext* output, AVStream* stream, AVPacket* packet, AVRational time_base,
                  const char* kind);

// How long each frame sent to an encoder lasts, for the packets of an encoder
// that leaves their duration at 0, as FFmpeg 5.1's libx264 does. The hls muxer
// times a playlist's last segment by the sum of its video packets' durations,
// so without them the segment's last pictures go uncounted. A frame lasts
// until the next one; the last lasts as long as the gap before it.
class frame_durations {
 public:
  // `first` is the duration of a frame sent alone.
  explicit frame_durations(std::int64_t first) : last_gap_(first) {}

  // Records a frame sent at `pts`, which ends the one sent before it.
  void sent(std::int64_t pts);

  // The duration of the frame sent at `pts`, its gap to the next frame, which
  // is then forgotten; the last gap known while the next frame has not been sent.
  std::int64_t take(std::int64_t pts);

 private:
  std::map<std::int64_t, std::int64_t> gaps_;  // by pts: frames not yet taken
  std::int64_t last_pts_ = AV_NOPTS_VALUE;
  std::int64_t last_gap_;
};

// Sends `frame` to `encoder` (null drains it) and writes every packet the
// encoder then has ready to `stream`. Throws av_error, naming the failing step,
// when the encoder refuses the frame or fails, or the packet cannot be written.
// With `durations`, the frame is recorded there, and a packet the encoder left
// without a duration takes its frame's.
void encode_and_write(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet, frame_durations* durations = nullptr);

}  // namespace corvane
