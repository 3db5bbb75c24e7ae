// The version of the H.264 encoder the renditions use, as the encoder itself
// tells it: FFmpeg keeps no record of the libraries it wraps, and libx264's
// headers are not needed to build corvane.
#pragma once

#include <string>

namespace corvane {

// What libx264 writes into the stream it makes after "x264 - core ", such as
// "164 r3095 baee400": its build number, revision and commit. Opens the encoder
// as a rendition does and encodes one small picture to read it. Empty when the
// stream does not say; throws as a rendition would when there is no encoder.
std::string h264_encoder_version();

}  // namespace corvane
