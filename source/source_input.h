// The source, opened once per call: its best video and audio streams and their
// decoders. The audio stream may be missing: the renditions then get silence.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "ffmpeg/handles.h"
#include "source/read_watch.h"

namespace corvane {

struct selected_stream {
  int index = -1;  // -1: none
  AVStream* stream = nullptr;  // owned by the format context
  const AVCodec* decoder = nullptr;
};

// The largest pictures a source may have: no side over 16384, and no more
// samples than 8192x4352, the largest frame any level of H.264, HEVC or AV1
// allows. A larger one is refused before any picture is decoded, and the
// decoder holds the same limit, so a change of size inside the stream cannot
// pass it.
inline constexpr int max_picture_side = 16384;
inline constexpr std::int64_t max_picture_samples = 35'651'584;

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
// over the limits above. Throws as open_input and read_watch::check do.
format_context_ptr open_source_format(const std::string& input, read_watch& watch);

// Opens `input`, reads its stream information, selects its best decodable video
// stream and, when it has one, its best decodable audio stream, and opens their
// decoders; every read answers to a read_watch on `stop`. Throws av_error
// naming the input when any step fails, the source having no decodable video
// stream among them: no rendition could be made of such a source; throws
// std::invalid_argument when its pictures are larger than the limits above.
source_input open_source(const std::string& input, std::stop_token stop);

}  // namespace corvane
