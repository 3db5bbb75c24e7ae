// The video path: decoded pictures scaled to the rendition's size, stamped in
// 1/30 s and encoded as H.264.
#pragma once

#include <cstdint>

#include "transcoder/av_handles.h"
#include "transcoder/hls_output.h"
#include "transcoder/timeline.h"

namespace corvane {

// How many threads the H.264 encoder of a `width` x `height` rendition takes on
// a machine of `cores` cores: its picture's share of a 1080p picture's area,
// times the cores, at least one and at most all of them; 0 (the encoder picks)
// when the number of cores is unknown.
int encoder_threads(int width, int height, unsigned cores);

// Opens the H.264 encoder for a rendition of `width` x `height` at `bitrate`
// bit/s: yuv420p, 1/30 s, a key frame every 60 pictures and none at scene
// changes, global header, `encoder_threads` threads. Throws av_error when it cannot be opened.
codec_context_ptr open_video_encoder(const AVCodec* codec, int width, int height,
                                     int bitrate);

// A scaler from the decoder's picture format to the encoder's; empty when the
// decoder does not know its picture size or format yet (the first picture then
// sets it up).
sws_context_ptr create_scaler(const AVCodecContext* decoder, const AVCodecContext* encoder);

// The one destination picture every source picture is scaled into.
frame_ptr alloc_scaled_frame(const AVCodecContext* encoder);

// What the video path needs for each picture. Non-owning, but for the
// pictures' durations: the rendition owns the rest.
struct video_path {
  AVCodecContext* decoder = nullptr;
  sws_context_ptr* scaler = nullptr;  // re-created when a picture's size or format changes
  AVFrame* scaled = nullptr;
  AVRational source_time_base{0, 1};
  std::int64_t origin = 0;            // subtracted from source timestamps
  std::int64_t last_pts = AV_NOPTS_VALUE;
  stream_output out;
  // Each picture lasts until the next one kept: the H.264 encoder's packets
  // carry no duration. A picture alone lasts 1/30 s.
  frame_durations durations{picture_interval};
};

// Scales, stamps and encodes one decoded picture; a picture whose timestamp
// does not advance is skipped. Throws av_error on failure.
void encode_picture(video_path& video, const AVFrame* decoded);

// Drains the decoder into the encoder, then the encoder into the muxer.
void drain_video(video_path& video, AVFrame* decoded);

}  // namespace corvane
