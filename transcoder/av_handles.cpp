#include "transcoder/av_handles.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "transcoder/av_error.h"
#include "transcoder/source_policy.h"

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

format_context_ptr alloc_format_context() {
  format_context_ptr context(avformat_alloc_context());
  if (!context) throw std::bad_alloc();
  return context;
}

// Opens `url` through the "file" protocol and no other.
io_context_ptr open_local_file(const std::string& url) {
  AVDictionary* options = nullptr;
  const int set = av_dict_set(&options, "protocol_whitelist", "file", 0);
  dictionary_ptr owned_options(options);
  check(set, "set the protocol whitelist");
  // avio_open2 hands back in `options` a new dictionary of what it did not use.
  options = owned_options.release();
  AVIOContext* raw = nullptr;
  const int ret = avio_open2(&raw, url.c_str(), AVIO_FLAG_READ, nullptr, &options);
  owned_options.reset(options);
  io_context_ptr io(raw);
  if (ret < 0) throw av_error(ret, "cannot open input", url);
  return io;
}

// avformat_open_input frees the context it is given when it fails, and
// allocates one when given none.
format_context_ptr open_format(format_context_ptr context, const std::string& url,
                               const AVInputFormat* format) {
  AVFormatContext* raw = context.release();
  const int ret = avformat_open_input(&raw, url.c_str(), format, nullptr);
  format_context_ptr input(raw);
  if (ret < 0) throw av_error(ret, "cannot open input", url);
  return input;
}

format_context_ptr open_local_source(const std::string& url) {
  refuse_multi_file_name(url);
  io_context_ptr io = open_local_file(url);
  const AVInputFormat* format = probe_local_format(io.get(), url);
  format_context_ptr context = alloc_format_context();
  confine_to_own_file(context.get());
  // A context given its AVIOContext marks it AVFMT_FLAG_CUSTOM_IO and never
  // closes it, on failure included: `io` keeps it until the context is open.
  context->pb = io.get();
  format_context_ptr input = open_format(std::move(context), url, format);
  input->opaque = io.release();
  return input;
}

}  // namespace

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
  if (is_local_source(url)) return open_local_source(url);
  return open_format(format_context_ptr(), url, nullptr);
}

}  // namespace corvane
