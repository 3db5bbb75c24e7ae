// One complete, independent transcode of the source into one HLS rendition.
#pragma once

#include <string>

namespace corvane {

// What a finished rendition is made of, for the master playlist.
struct rendition_result {
  std::string codecs;     // "avc1.PPCCLL,mp4a.40.N", read from the encoders' headers
  double frame_rate = 0;  // pictures per second, as picture_rate measures them
};

// Transcodes `input` into the media playlist `playlist_path` and its segments,
// at `width` x `height` and `bitrate` bit/s, encrypted as `key_info_file`
// directs (unencrypted when it is empty). Returns its codecs and picture rate
// once the trailer is written; throws av_error, naming the failing step and
// FFmpeg's reason, otherwise.
// Every FFmpeg object it creates is released on every way out, newest first.
// Runs on a thread of its own and touches nothing another thread uses.
rendition_result transcode_rendition(std::string input, std::string playlist_path, int width,
                                     int height, int bitrate, std::string key_info_file);

}  // namespace corvane
