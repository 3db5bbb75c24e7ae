// Owning handles for every FFmpeg object corvane creates. Nothing but an owning
// handle calls an FFmpeg release function: an object is put into one the moment
// it exists, and the handle releases it on every way out. (The one handle not
// here is the in-memory text reader's, in rendition/text_reader.h.)
#pragma once

#include <memory>

#include "ffmpeg/headers.h"

namespace corvane {

// Releases an input or an output format context; null does nothing. An input
// whose `opaque` is set owns that AVIOContext (a local source's own file), and
// closes it after itself.
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
struct swr_context_freer {
  void operator()(SwrContext* p) const { swr_free(&p); }
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

using format_context_ptr = std::unique_ptr<AVFormatContext, format_context_closer>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_freer>;
using sws_context_ptr = std::unique_ptr<SwsContext, sws_context_freer>;
using swr_context_ptr = std::unique_ptr<SwrContext, swr_context_freer>;
using filter_graph_ptr = std::unique_ptr<AVFilterGraph, filter_graph_freer>;
using filter_inout_ptr = std::unique_ptr<AVFilterInOut, filter_inout_freer>;
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, audio_fifo_freer>;
using codec_parameters_ptr = std::unique_ptr<AVCodecParameters, codec_parameters_freer>;
using packet_ptr = std::unique_ptr<AVPacket, packet_freer>;
using frame_ptr = std::unique_ptr<AVFrame, frame_freer>;
// An AVIOContext opened with avio_open2.
using io_context_ptr = std::unique_ptr<AVIOContext, io_context_closer>;
using dictionary_ptr = std::unique_ptr<AVDictionary, dictionary_freer>;

// Allocations that throw std::bad_alloc instead of handing back null, so no
// caller can go on with an object that does not exist.
format_context_ptr alloc_format_context();
codec_context_ptr alloc_codec_context(const AVCodec* codec);
codec_parameters_ptr alloc_codec_parameters();
packet_ptr alloc_packet();
frame_ptr alloc_frame();

}  // namespace corvane
