#include "product/video_codec.h"

#include "ffmpeg/error.h"

namespace corvane {
namespace {

std::span<const std::uint8_t> extradata_of(const AVCodecParameters* stream) {
  if (stream->extradata == nullptr) return {};
  return {stream->extradata, static_cast<std::size_t>(stream->extradata_size)};
}

}  // namespace

std::string rendition_codecs(const video_codec& codec, const AVCodecParameters* video,
                             const AVCodecParameters* audio) {
  const auto video_name = codec.codec_string(extradata_of(video));
  if (!video_name)
    throw av_error(AVERROR_EXTERNAL, std::string("video: no ") + codec.name +
                                         " profile and level in the encoder's headers");
  const auto audio_name = aac_codec_name(extradata_of(audio));
  if (!audio_name)
    throw av_error(AVERROR_EXTERNAL, "audio: no AAC object type in the encoder's headers");
  return *video_name + "," + *audio_name;
}

}  // namespace corvane
