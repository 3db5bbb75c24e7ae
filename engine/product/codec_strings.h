// The names of what the encoders produce, as the master playlist's CODECS
// attribute gives them (RFC 6381), read from the encoders' own headers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvane {

// "avc1.PPCCLL" (upper-case hex) from an H.264 encoder's extradata: the
// profile_idc, constraint flags and level_idc of its sequence parameter set,
// given either as Annex B NAL units after start codes or as an avcC record.
// Nothing when it holds neither.
std::optional<std::string> h264_codec_name(std::span<const std::uint8_t> extradata);

// "mp4a.40.N" from an AAC encoder's extradata, its AudioSpecificConfig: N is
// the audio object type (2 for AAC-LC). Nothing when it is too short.
std::optional<std::string> aac_codec_name(std::span<const std::uint8_t> extradata);

}  // namespace corvane
