// The rendition's video path: each shared source picture scaled into the
// rendition's own picture and encoded as H.264.
#pragma once

#include <cstdint>
#include <optional>

#include "feed/picture_signal.h"
#include "ffmpeg/handles.h"
#include "product/settings.h"
#include "product/video_codec.h"
#include "rendition/hls_output.h"
#include "rendition/packet_writer.h"

namespace corvane {

// Where the segments start, on the pictures' own clock: every segment_seconds
// from the first picture. The encoder's key frames come every 60 pictures, which
// lands on that grid only at 30 a second; a source of 25 or 15 pictures a second,
// or of uneven ones, would make segments of 7.2 or 8 s. So the first picture
// at or past each start is made a key frame as well.
class segment_starts {
 public:
  // Whether the picture at `pts` (video_time_base) is the first of a segment.
  bool opens_segment(std::int64_t pts);

 private:
  std::optional<std::int64_t> next_;
};

// The encoder of `codec`; throws std::runtime_error naming it when this build
// of FFmpeg lacks it: the ladder is not made with another encoder.
const AVCodec* require_video_encoder(const video_codec& codec);

// How many threads the H.264 encoder of a `width` x `height` rendition takes on
// a machine of `cores` cores: its picture's share of a 1080p picture's area,
// times the cores, at least one and at most all of them; 0 (the encoder picks)
// when the number of cores is unknown.
int encoder_threads(int width, int height, unsigned cores);

// Opens `encoder`, the encoder of `codec`, for a rendition of `width` x
// `height` at `bitrate` bit/s: yuv420p, pictures timed in video_time_base at
// most max_picture_rate a second, a key frame every key_frame_interval
// pictures, the codec's own options, global header, `encoder_threads`
// threads, and `signal` written into its headers. Throws av_error when the
// encoder refuses a setting or cannot be opened.
codec_context_ptr open_video_encoder(const video_codec& codec, const AVCodec* encoder, int width,
                                     int height, int bitrate, const picture_signal& signal = {});

// The one destination picture every source picture is scaled into.
frame_ptr alloc_scaled_frame(const AVCodecContext* encoder);

// What the video path needs for each picture. The scaler and the pictures'
// durations are the path's own; everything else belongs to the rendition.
struct video_path {
  AVCodecContext* encoder = nullptr;
  AVFormatContext* output = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* scaled = nullptr;
  // Made for the first picture, and again when a picture's size or format
  // changes inside the stream.
  sws_context_ptr scaler;
  // Each picture lasts until the next one: the H.264 encoder's packets carry
  // no duration. A picture alone lasts 1/30 s.
  frame_durations durations{picture_interval};
  segment_starts segments{};
};

// Scales a source picture, which it only reads, and encodes it at the
// picture's own timestamp, as a key frame when it opens a segment. Throws
// av_error on failure.
void encode_picture(video_path& video, const AVFrame* picture);

// Drains the encoder into the muxer.
void drain_video(video_path& video);

}  // namespace corvane
