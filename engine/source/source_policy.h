// What a source may make corvane read.
//
// FFmpeg picks a demuxer by a file's content, not its name, and some demuxers
// open further files or URLs that the content names: an HLS or DASH playlist,
// a concat list, an image sequence. A source given as a local path is taken as
// one self-contained media file instead: it is read through the "file"
// protocol only, only with the demuxer of a container that holds its media in
// itself, and every further open the demuxer asks for is refused. Any other
// source (http, https and the rest) keeps FFmpeg's defaults, HLS input included.
#pragma once

#include <string>

#include "ffmpeg/headers.h"

namespace corvane {

// Whether FFmpeg reads `url` through its "file" protocol: a local path, with
// or without "file:" in front.
bool is_local_source(const std::string& url);

// The demuxers a local source may be read with, in the form of FFmpeg's format
// whitelist: names separated by commas.
extern const char* const local_source_formats;

// Throws av_error (AVERROR_INVALIDDATA) when FFmpeg would read `url` by its
// name alone as a set of files, such as the image sequence "frame%03d.png";
// the message names the demuxer.
void refuse_multi_file_name(const std::string& url);

// The demuxer for the local source `url`, probed from what `io` holds the way
// avformat_open_input probes. Throws av_error when the probe fails, and
// av_error (AVERROR_INVALIDDATA) naming the demuxer when it is not one of
// `local_source_formats`.
const AVInputFormat* probe_local_format(AVIOContext* io, const std::string& url);

// Confines a format context, before avformat_open_input, to the AVIOContext
// the caller gives it: demuxers of `local_source_formats` only, no protocol
// for any further open, and an io_open that refuses every one.
void confine_to_own_file(AVFormatContext* context);

// The io_open of a confined context: refuses to open `url` with AVERROR(EPERM).
int refuse_nested_open(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                       AVDictionary** options);

}  // namespace corvane
