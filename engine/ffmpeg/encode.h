// The encoder's send/receive loop, written once for the AAC encoder of the
// source stage and the H.264 encoder of each rendition.
#pragma once

#include <functional>

#include "ffmpeg/headers.h"

namespace corvane {

// Takes each packet an encoder gives. The packet is lent: the sink takes a
// reference of its own (or the packet's contents) to keep it.
using packet_sink = std::function<void(AVPacket*)>;

// Sends `frame` to `encoder` (null drains it) and hands every packet the
// encoder then has ready to `sink`. The encoder wanting more input, or having
// nothing more to give, ends the loop normally; any other result throws
// av_error naming `kind` ("video", "audio") and the failing step.
void encode_frame(AVCodecContext* encoder, const AVFrame* frame, AVPacket* packet, const char* kind,
                  const packet_sink& sink);

}  // namespace corvane
