#include "transcoder/av_handles.h"

#include <new>
#include <string>

#include "transcoder/av_error.h"

namespace corvane {

void close_format_context(AVFormatContext* context) {
  if (context == nullptr) return;
  if (context->iformat != nullptr) {
    avformat_close_input(&context);
    return;
  }
  if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE) &&
      context->pb != nullptr)
    avio_closep(&context->pb);
  avformat_free_context(context);
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

format_context_ptr open_input(const std::string& url) {
  AVFormatContext* raw = nullptr;
  // On failure avformat_open_input frees what it allocated and leaves raw null.
  const int ret = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
  format_context_ptr input(raw);
  if (ret < 0) throw av_error(ret, "cannot open input", url);
  return input;
}

}  // namespace corvane
