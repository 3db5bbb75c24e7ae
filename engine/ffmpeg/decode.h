// The decoder's send/receive loop, written once for the source's pictures and
// sound.
#pragma once

#include <functional>

#include "ffmpeg/headers.h"

namespace corvane {

// Takes each frame a decoder gives; the frame is unreferenced after it returns.
using frame_step = std::function<void(AVFrame*)>;

// Sends `packet` to `decoder` and hands every frame it then has ready to
// `step`. A packet the decoder refuses, or cannot decode, costs that packet only.
void decode_packet(AVCodecContext* decoder, const AVPacket* packet, AVFrame* decoded,
                   const frame_step& step);

// Tells `decoder` the stream has ended and hands every frame it still holds to
// `step`, to its very end: a delayed frame it cannot decode is skipped, not the
// ones after it.
void drain_decoder(AVCodecContext* decoder, AVFrame* decoded, const frame_step& step);

}  // namespace corvane
