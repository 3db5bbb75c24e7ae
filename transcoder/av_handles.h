// Owning handles for every FFmpeg object corvane creates. Nothing outside
// av_handles.cpp calls an FFmpeg release function: an object is put into one of
// these handles the moment it exists, and the handle releases it on every way out.
#pragma once

#include <memory>
#include <string>

#include "transcoder/ffmpeg.h"

namespace corvane {

// Releases an input or an output format context; null does nothing. An input
// whose `opaque` is set owns that AVIOContext (see open_input), and closes it
// after itself.
void close_format_context(AVFormatContext* context);

struct format_context_closer {
  void operator()(AVFormatContext* p) const { close_format_context(p); }
};
struct codec_context_freer {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct sws_context_freer {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct filter_graph_freer {
  void operator()(AVFilterGraph* p) const { avfilter_graph_free(&p); }
};
struct filter_inout_freer {
  void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
struct audio_fifo_freer {
  void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct codec_parameters_freer {
  void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct packet_freer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct frame_freer {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct io_context_closer {
  void operator()(AVIOContext* p) const { avio_closep(&p); }
};
struct dictionary_freer {
  void operator()(AVDictionary* p) const { av_dict_free(&p); }
};

// Releases a reader made by open_text_reader; null does nothing.
void close_text_reader(AVIOContext* reader);

struct text_reader_closer {
  void operator()(AVIOContext* p) const { close_text_reader(p); }
};

using format_context_ptr = std::unique_ptr<AVFormatContext, format_context_closer>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_freer>;
using sws_context_ptr = std::unique_ptr<SwsContext, sws_context_freer>;
using filter_graph_ptr = std::unique_ptr<AVFilterGraph, filter_graph_freer>;
using filter_inout_ptr = std::unique_ptr<AVFilterInOut, filter_inout_freer>;
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, audio_fifo_freer>;
using codec_parameters_ptr = std::unique_ptr<AVCodecParameters, codec_parameters_freer>;
using packet_ptr = std::unique_ptr<AVPacket, packet_freer>;
using frame_ptr = std::unique_ptr<AVFrame, frame_freer>;
// An AVIOContext opened with avio_open2.
using io_context_ptr = std::unique_ptr<AVIOContext, io_context_closer>;
using text_reader_ptr = std::unique_ptr<AVIOContext, text_reader_closer>;
using dictionary_ptr = std::unique_ptr<AVDictionary, dictionary_freer>;

// Allocations that throw std::bad_alloc instead of handing back null, so no
// caller can go on with an object that does not exist.
codec_context_ptr alloc_codec_context(const AVCodec* codec);
codec_parameters_ptr alloc_codec_parameters();
packet_ptr alloc_packet();
frame_ptr alloc_frame();

// A reader of `text` held in memory: what an io_open hook hands a muxer in
// place of a file. Throws std::bad_alloc.
text_reader_ptr open_text_reader(std::string text);

// Whether `file` was made by open_text_reader, and must be released by
// close_text_reader rather than avio_close.
bool is_text_reader(const AVIOContext* file);

// Opens a source for reading; throws av_error naming `url` on failure. A local
// path is read as one self-contained media file and nothing else, as
// transcoder/source_policy.h describes: the context reads from an AVIOContext
// opened here, which it owns through its `opaque`. Any other URL is opened
// with FFmpeg's defaults.
format_context_ptr open_input(const std::string& url);

}  // namespace corvane
