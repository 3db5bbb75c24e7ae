// The rendition's HLS output: FFmpeg's "hls" muxer writing a media playlist and
// its MPEG-TS segments, set up and finished here; packet_writer.h writes to it.
#pragma once

#include <string>

#include "ffmpeg/handles.h"
#include "rendition/output_files.h"

namespace corvane {

// How long a segment lasts, in seconds. The muxer cuts one at the first key
// frame at least this long after the start of the one before, so each
// rendition's video places a key frame on that grid (video_path).
inline constexpr int segment_seconds = 6;

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

// Writes the trailer, which completes the media playlist; throws on failure.
void write_trailer(AVFormatContext* output);

}  // namespace corvane
