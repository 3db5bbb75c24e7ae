// The rendition's HLS output: FFmpeg's "hls" muxer writing a media playlist and
// its MPEG-TS segments, and the one routine through which both encoders reach it.
#pragma once

#include <string>

#include "transcoder/av_handles.h"

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
// `key_info_file` leaves the segments unencrypted. Every file the muxer writes
// is closed through corvane, which keeps the first failed write (see
// write_failure). Throws av_error when any step fails; the returned context has
// its header written.
format_context_ptr create_hls_output(const std::string& playlist_path,
                                     const std::string& key_info_file,
                                     const AVCodecContext* video_encoder,
                                     const AVCodecParameters* audio_parameters,
                                     AVRational audio_time_base);

// The error code of the first write to a segment or playlist file of an output
// made by create_hls_output that failed, or 0. write_packet and write_trailer
// report it: the muxer itself carries on after one.
int write_failure(const AVFormatContext* output);

// Writes one packet, timed in `time_base`, to `stream`; the muxer takes the
// packet's contents and leaves it blank. Throws av_error naming `kind` when the
// muxer refuses the packet or failed to write a segment or playlist file.
void write_packet(AVFormatContext* output, AVStream* stream, AVPacket* packet,
                  AVRational time_base, const char* kind);

// Sends `frame` to `encoder` (null drains it) and writes every packet the
// encoder then has ready to `stream`. Throws av_error, naming the failing step, when
// the encoder refuses the frame or fails, or the packet cannot be written.
void encode_and_write(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet);

// Writes the trailer, which completes the media playlist; throws on failure.
void write_trailer(AVFormatContext* output);

}  // namespace corvane
