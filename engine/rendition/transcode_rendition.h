// The rendition worker: one rendition of the ladder made from the pictures and
// the sound the source stage shares with it.
#pragma once

#include <string>

#include "feed/rendition_feed.h"
#include "ffmpeg/headers.h"
#include "product/output_layout.h"
#include "product/video_codec.h"
#include "rendition/output_files.h"
#include "rendition/video_path.h"

namespace corvane {

// What one rendition worker is given; the pointers are read only and outlive it.
struct rendition_job {
  std::string playlist_path;
  int width = 0;
  int height = 0;
  int bitrate = 0;            // video, bit/s
  picture_signal signal;      // the colour description and sample aspect ratio to write
  std::string key_info_file;  // empty: unencrypted segments
  const video_codec* codec = &h264;
  const AVCodec* encoder = nullptr;  // the codec's encoder, found once for every rendition
  const output_layout* layout = &mpegts_layout;
  const AVCodecParameters* audio_parameters = nullptr;  // the source stage's AAC stream
  AVRational audio_time_base{0, 1};                     // of the AAC packets on the feed
  output_files* files = nullptr;  // what the rendition writes; outlives the worker
};

// What a finished rendition is made of, for the master playlist.
struct rendition_result {
  std::string codecs;  // "avc1.PPCCLL,mp4a.40.N", read from the encoders' headers
};

// Takes pictures and audio packets from `feed` until the source ends, and makes
// the media playlist `job.playlist_path` and its segments: each picture scaled
// to the rendition's size and encoded as H.264, each AAC packet written as it
// comes, encrypted as the key info file directs. Returns its codecs once the
// trailer is written. Throws av_error, naming the failing step and FFmpeg's
// reason, or the source's failure; the feed is then abandoned so that the
// source stage goes on without this rendition. Every FFmpeg object it creates
// is released on every way out, newest first.
rendition_result transcode_rendition(const rendition_job& job, rendition_feed& feed);

}  // namespace corvane
