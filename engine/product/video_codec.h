// The video codec of the ladder as data: which FFmpeg encoder makes it, the
// private options it must take, and how its RFC 6381 name is read from what
// the encoder wrote. The code that opens the encoder and writes the master
// playlist walks this record; a new codec is a new record.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ffmpeg/headers.h"
#include "product/codec_strings.h"
#include "product/settings.h"

namespace corvane {

struct encoder_option {
  const char* name;
  const char* value;
};

struct video_codec {
  const char* name;     // in messages: "H.264"
  const char* encoder;  // FFmpeg's encoder, asked for by name: "libx264"
  // Private options the encoder must take; one it refuses fails the rendition,
  // as the ladder would otherwise be encoded otherwise than promised.
  std::span<const encoder_option> options;
  // Its CODECS name from the encoder's extradata ("avc1.640028"), or nothing.
  std::optional<std::string> (*codec_string)(std::span<const std::uint8_t> extradata);
};

// No key frames at scene changes: they would fall on other pictures in each
// rendition, and a player switching renditions needs them on the same ones.
inline constexpr encoder_option libx264_options[] = {
    {"preset", video_preset},
    {"sc_threshold", "0"},
};

inline constexpr video_codec h264{"H.264", "libx264", libx264_options, h264_codec_name};

// The CODECS attribute of a rendition, "avc1.PPCCLL,mp4a.40.N", from what its
// encoders wrote into its video and audio streams. Throws av_error when either
// does not say: a guessed name would make players refuse the rendition.
std::string rendition_codecs(const video_codec& codec, const AVCodecParameters* video,
                             const AVCodecParameters* audio);

}  // namespace corvane
