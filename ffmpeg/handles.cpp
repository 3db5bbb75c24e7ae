#include "ffmpeg/handles.h"

#include <new>

namespace corvane {

void close_format_context(AVFormatContext* context) {
  if (context == nullptr) return;
  if (context->iformat != nullptr) {
    // Closed after the format context: the demuxer may still use it while it
    // closes, and avformat_close_input leaves an AVIOContext it was given alone.
    io_context_ptr owned_io(static_cast<AVIOContext*>(context->opaque));
    avformat_close_input(&context);
    return;
  }
  if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE) &&
      context->pb != nullptr)
    avio_closep(&context->pb);
  avformat_free_context(context);
}

format_context_ptr alloc_format_context() {
  format_context_ptr context(avformat_alloc_context());
  if (!context) throw std::bad_alloc();
  return context;
}

codec_context_ptr alloc_codec_context(const AVCodec* codec) {
  codec_context_ptr context(avcodec_alloc_context3(codec));
  if (!context) throw std::bad_alloc();
  return context;
}

codec_parameters_ptr alloc_codec_parameters() {
  codec_parameters_ptr parameters(avcodec_parameters_alloc());
  if (!parameters) throw std::bad_alloc();
  return parameters;
}

packet_ptr alloc_packet() {
  packet_ptr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

frame_ptr alloc_frame() {
  frame_ptr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

}  // namespace corvane
