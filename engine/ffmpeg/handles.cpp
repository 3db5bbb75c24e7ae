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

namespace {

// Takes what an FFmpeg allocation gave into its owning handle; null, which is
// how FFmpeg says it is out of memory, throws std::bad_alloc instead.
template <typename Owned>
Owned owned(typename Owned::pointer allocated) {
  if (allocated == nullptr) throw std::bad_alloc();
  return Owned(allocated);
}

}  // namespace

format_context_ptr alloc_format_context() {
  return owned<format_context_ptr>(avformat_alloc_context());
}

codec_context_ptr alloc_codec_context(const AVCodec* codec) {
  return owned<codec_context_ptr>(avcodec_alloc_context3(codec));
}

codec_parameters_ptr alloc_codec_parameters() {
  return owned<codec_parameters_ptr>(avcodec_parameters_alloc());
}

packet_ptr alloc_packet() { return owned<packet_ptr>(av_packet_alloc()); }

frame_ptr alloc_frame() { return owned<frame_ptr>(av_frame_alloc()); }

}  // namespace corvane
