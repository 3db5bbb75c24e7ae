// The source, opened once per call: its best video and audio streams and their
// decoders.
#pragma once

#include <string>

#include "transcoder/av_handles.h"

namespace corvane {

struct selected_stream {
  int index = -1;
  AVStream* stream = nullptr;  // owned by the format context
  const AVCodec* decoder = nullptr;
};

struct source_input {
  format_context_ptr format;
  selected_stream video;
  selected_stream audio;
  codec_context_ptr video_decoder;  // decodes with its own frame threads
  codec_context_ptr audio_decoder;
};

// Opens `input`, reads its stream information, selects its best decodable video
// and audio streams and opens their decoders. Throws av_error naming the input
// when any step fails: no rendition could be made of such a source.
source_input open_source(const std::string& input);

}  // namespace corvane
