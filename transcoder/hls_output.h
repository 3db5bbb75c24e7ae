// The rendition's HLS output: FFmpeg's "hls" muxer writing a media playlist and
// its MPEG-TS segments, and the one routine through which both encoders reach it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "transcoder/av_handles.h"
#include "transcoder/output_files.h"

namespace corvane {

// The media playlist path cut before its last "." (the whole path without one).
std::string playlist_stem(const std::string& playlist_path);

// The muxer's segment file pattern: the stem with "_%03d.ts" appended. The hls
// muxer has no escape for "%": it numbers every "%d", "%03d" and the like in
// the whole path (and keeps "%%" as two characters), and puts a variant index
// in place of "%v". A stem holding such a sequence would put segments in the
// wrong place, so it is refused with std::invalid_argument.
std::string segment_template(const std::string& stem);

// Creates the "hls" output on `playlist_path` with the video stream (index 0)
// taken from the opened H.264 encoder and the audio stream (index 1) from the
// source stage's AAC parameters, and writes the header. An empty
// `key_info_file` leaves the segments unencrypted. A key info file with an IV
// line encrypts every segment with that IV. Without one, each segment is
// encrypted with a fresh random IV, which its media playlist gives on an
// EXT-X-KEY line before it: the muxer reads the key info file again as each
// segment starts, and is served its first two lines and a random third. The
// files the muxer opens and closes are watched through `files` (see
// output_files.h), which must outlive the output. Throws av_error when any
// step fails; the returned context has its header written.
format_context_ptr create_hls_output(const std::string& playlist_path,
                                     const std::string& key_info_file,
                                     const AVCodecContext* video_encoder,
                                     const AVCodecParameters* audio_parameters,
                                     AVRational audio_time_base, output_files& files);

// Writes one packet, timed in `time_base`, to `stream`; the muxer takes the
// packet's contents and leaves it blank. Throws av_error naming `kind` when the
// muxer refuses the packet or failed to write a segment or playlist file.
void write_packet(AVFormatContext* output, AVStream* stream, AVPacket* packet,
                  AVRational time_base, const char* kind);

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
                      const AVFrame* frame, AVPacket* packet,
                      frame_durations* durations = nullptr);

// Writes the trailer, which completes the media playlist; throws on failure.
void write_trailer(AVFormatContext* output);

}  // namespace corvane
