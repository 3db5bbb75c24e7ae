// The source, opened once per call: its best video and audio streams and their
// decoders. The audio stream may be missing: the renditions then get silence.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "ffmpeg/handles.h"
#include "product/settings.h"
#include "source/read_watch.h"

namespace corvane {

struct selected_stream {
  int index = -1;              // -1: none
  AVStream* stream = nullptr;  // owned by the format context
  const AVCodec* decoder = nullptr;
};

struct source_input {
  // Declared first, so it outlives every context that calls it back.
  std::unique_ptr<read_watch> watch;
  format_context_ptr format;
  selected_stream video;
  selected_stream audio;
  codec_context_ptr video_decoder;  // decodes with its own frame threads
  codec_context_ptr audio_decoder;  // null when the source has no decodable audio stream

  bool has_audio() const { return audio.index >= 0; }
};

// Opens `input` and reads its stream information, every read answering to
// `watch` (which must outlive the context), with decoders that refuse pictures
// over the size limits of settings.h. Throws as open_input and read_watch::check do.
format_context_ptr open_source_format(const std::string& input, read_watch& watch);

// Opens `input`, reads its stream information, selects its best decodable video
// stream and, when it has one, its best decodable audio stream, and opens their
// decoders; every read answers to a read_watch on `stop`. Throws av_error
// naming the input when any step fails, the source having no decodable video
// stream among them: no rendition could be made of such a source; throws
// std::invalid_argument when its pictures are larger than those limits.
source_input open_source(const std::string& input, std::stop_token stop);

}  // namespace corvane
