#include "rendition/text_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

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

text_reader_ptr open_text_reader(std::string text) {
  constexpr int buffer_size = 4096;
  auto source = std::make_unique<text_source>(text_source{std::move(text)});
  std::unique_ptr<unsigned char, av_freer> buffer(
      static_cast<unsigned char*>(av_malloc(buffer_size)));
  if (!buffer) throw std::bad_alloc();
  text_reader_ptr reader(
      avio_alloc_context(buffer.get(), buffer_size, 0, source.get(), read_text, nullptr, nullptr));
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

}  // namespace corvane
