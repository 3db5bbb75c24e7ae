#include "transcoder/av_handles.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "transcoder/av_error.h"

namespace corvane {
namespace {

// What a text reader reads from: the text, and how far it has been read.
struct text_source {
  std::string text;
  std::size_t offset = 0;
};

int read_text(void* opaque, std::uint8_t* buffer, int size) {
  auto* source = static_cast<text_source*>(opaque);
  const std::size_t count = std::min(source->text.size() - source->offset, std::size_t(size));
  if (count == 0) return AVERROR_EOF;
  std::memcpy(buffer, source->text.data() + source->offset, count);
  source->offset += count;
  return int(count);
}

struct av_freer {
  void operator()(void* p) const { av_free(p); }
};

}  // namespace

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

text_reader_ptr open_text_reader(std::string text) {
  constexpr int buffer_size = 4096;
  auto source = std::make_unique<text_source>(text_source{std::move(text)});
  std::unique_ptr<unsigned char, av_freer> buffer(
      static_cast<unsigned char*>(av_malloc(buffer_size)));
  if (!buffer) throw std::bad_alloc();
  text_reader_ptr reader(avio_alloc_context(buffer.get(), buffer_size, 0, source.get(),
                                            read_text, nullptr, nullptr));
  if (!reader) throw std::bad_alloc();
  // The reader holds both now, and close_text_reader releases them.
  buffer.release();
  source.release();
  return reader;
}

bool is_text_reader(const AVIOContext* file) {
  return file != nullptr && file->read_packet == read_text;
}

void close_text_reader(AVIOContext* reader) {
  if (reader == nullptr) return;
  delete static_cast<text_source*>(reader->opaque);
  // The reader may have replaced the buffer it was given: free the one it holds.
  av_freep(&reader->buffer);
  avio_context_free(&reader);
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
