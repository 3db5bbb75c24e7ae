#include "rendition/packet_writer.h"

#include <string>

#include "ffmpeg/encode.h"
#include "ffmpeg/error.h"
#include "rendition/output_files.h"

namespace corvane {

void write_packet(AVFormatContext* output, AVStream* stream, AVPacket* packet, AVRational time_base,
                  const char* kind) {
  // Read the stream's time base now: the header may have replaced it.
  av_packet_rescale_ts(packet, time_base, stream->time_base);
  packet->stream_index = stream->index;
  // The muxer takes the packet's data and leaves it blank, even on failure.
  check(av_interleaved_write_frame(output, packet), std::string(kind) + ": write packet");
  if (const int failed = write_failure(output); failed < 0)
    throw av_error(failed, std::string(kind) + ": write segment or playlist");
}

void frame_durations::sent(std::int64_t pts) {
  std::int64_t gap = 0;
  // Frames come in increasing pts; a gap that does not fit is left unknown.
  if (last_pts_ != AV_NOPTS_VALUE && !__builtin_sub_overflow(pts, last_pts_, &gap) && gap > 0) {
    gaps_.emplace(last_pts_, gap);
    last_gap_ = gap;
  }
  last_pts_ = pts;
}

std::int64_t frame_durations::take(std::int64_t pts) {
  const auto found = gaps_.find(pts);
  if (found == gaps_.end()) return last_gap_;
  const std::int64_t gap = found->second;
  gaps_.erase(found);
  return gap;
}

void encode_and_write(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet, frame_durations* durations) {
  const char* kind = av_get_media_type_string(encoder->codec_type);
  if (durations != nullptr && frame != nullptr) durations->sent(frame->pts);
  encode_frame(encoder, frame, packet, kind, [&](AVPacket* encoded) {
    if (encoded->duration == 0 && durations != nullptr)
      encoded->duration = durations->take(encoded->pts);
    write_packet(output, stream, encoded, encoder->time_base, kind);
  });
}

}  // namespace corvane
