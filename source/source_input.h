// The source, opened once per call: its best video and audio streams and their
// decoders. The audio stream may be missing: the renditions then get silence.
#pragma once

#include <string>

#include "ffmpeg/handles.h"

namespace corvane {

struct selected_stream {
  int index = -1;  // -1: none
  AVStream* stream = nullptr;  // owned by the format context
  const AVCodec* decoder = nullptr;
};

struct source_input {
  format_context_ptr format;
  selected_stream video;
  selected_stream audio;
  codec_context_ptr video_decoder;  // decodes with its own frame threads
  codec_context_ptr audio_decoder;  // null when the source has no decodable audio stream

  bool has_audio() const { return audio.index >= 0; }
};

// Opens `input`, reads its stream information, selects its best decodable video
// stream and, when it has one, its best decodable audio stream, and opens their
// decoders. Throws av_error naming the input when any step fails, the source
// having no decodable video stream among them: no rendition could be made of
// such a source.
source_input open_source(const std::string& input);

}  // namespace corvane
