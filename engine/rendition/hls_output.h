// The rendition's HLS output: FFmpeg's HLS muxer writing a media playlist and
// its segments, set up and finished here; packet_writer.h writes to it.
#pragma once

#include <string>

#include "ffmpeg/handles.h"
#include "product/output_layout.h"
#include "product/settings.h"
#include "rendition/output_files.h"

namespace corvane {

// Creates the HLS output of `layout` on `playlist_path` (segments
// segment_seconds long: the muxer cuts at the first key frame that long after
// the last cut, and each rendition's video puts one there) with the video stream (index 0)
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
format_context_ptr create_hls_output(const std::string& playlist_path, const output_layout& layout,
                                     const std::string& key_info_file,
                                     const AVCodecContext* video_encoder,
                                     const AVCodecParameters* audio_parameters,
                                     AVRational audio_time_base, output_files& files);

// Writes the trailer, which completes the media playlist; throws on failure.
void write_trailer(AVFormatContext* output);

}  // namespace corvane
