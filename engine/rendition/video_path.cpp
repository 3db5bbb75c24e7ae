#include "rendition/video_path.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>

#include "ffmpeg/error.h"

namespace corvane {
namespace {

// The scaler for this picture: the one already made when the picture's size and
// format are the same, otherwise a new one, so a change inside the stream never
// reads a picture with a scaler set up for another.
SwsContext* scaler_for(sws_context_ptr& scaler, const AVFrame* picture,
                       const AVCodecContext* encoder) {
  // sws_getCachedContext frees the context it is given when it cannot make one.
  scaler.reset(sws_getCachedContext(scaler.release(), picture->width, picture->height,
                                    static_cast<AVPixelFormat>(picture->format), encoder->width,
                                    encoder->height, encoder->pix_fmt, SWS_BICUBIC, nullptr,
                                    nullptr, nullptr));
  if (!scaler) throw av_error(AVERROR(EINVAL), "video: create scaler for the source pictures");
  return scaler.get();
}

}  // namespace

const AVCodec* require_video_encoder(const video_codec& codec) {
  const AVCodec* encoder = avcodec_find_encoder_by_name(codec.encoder);
  if (encoder == nullptr)
    throw std::runtime_error(std::string("this build of FFmpeg lacks the ") + codec.encoder +
                             " encoder that every rendition's video needs");
  return encoder;
}

bool segment_starts::opens_segment(std::int64_t pts) {
  constexpr std::int64_t length = std::int64_t{segment_seconds} * video_time_base.den;
  if (!next_) {
    next_ = pts > INT64_MAX - length ? INT64_MAX : pts + length;
    return true;
  }
  if (pts < *next_) return false;
  // Past a hole longer than a segment, the grid goes on from where it was.
  const std::int64_t steps = (pts - *next_) / length + 1;
  next_ = steps > (INT64_MAX - *next_) / length ? INT64_MAX : *next_ + steps * length;
  return true;
}

int encoder_threads(int width, int height, unsigned cores) {
  if (cores == 0) return 0;
  const double share = double(width) * height / (1920.0 * 1080.0);
  const long threads = std::lround(share * cores);
  return int(std::clamp<long>(threads, 1, long(cores)));
}

codec_context_ptr open_video_encoder(const video_codec& codec, const AVCodec* video_encoder,
                                     int width, int height, int bitrate,
                                     const picture_signal& signal) {
  codec_context_ptr encoder = alloc_codec_context(video_encoder);
  encoder->width = width;
  encoder->height = height;
  encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  encoder->time_base = video_time_base;
  // Every rendition encodes at once, each with the encoder's own pick of
  // threads (one and a half per core, plus look-ahead) would keep several times
  // the cores busy with frames in flight: memory for no speed. A 1080p encode is
  // over half the ladder's work, so the threads follow the picture area.
  encoder->thread_count = encoder_threads(width, height, std::thread::hardware_concurrency());
  encoder->framerate = AVRational{max_picture_rate, 1};
  encoder->bit_rate = bitrate;
  encoder->color_primaries = signal.colour.primaries;
  encoder->color_trc = signal.colour.transfer;
  encoder->colorspace = signal.colour.matrix;
  encoder->color_range = signal.colour.range;
  encoder->sample_aspect_ratio = signal.sample_aspect_ratio;
  encoder->gop_size = key_frame_interval;
  encoder->keyint_min = key_frame_interval;
  for (const encoder_option& option : codec.options)
    check(av_opt_set(encoder->priv_data, option.name, option.value, 0),
          std::string("video: set ") + codec.name + " " + option.name);
  check(avcodec_open2(encoder.get(), video_encoder, nullptr),
        std::string("video: open ") + codec.name + " encoder");
  return encoder;
}

frame_ptr alloc_scaled_frame(const AVCodecContext* encoder) {
  frame_ptr scaled = alloc_frame();
  scaled->format = encoder->pix_fmt;
  scaled->width = encoder->width;
  scaled->height = encoder->height;
  check(av_frame_get_buffer(scaled.get(), 32), "video: allocate scaled picture");
  return scaled;
}

void encode_picture(video_path& video, const AVFrame* picture) {
  SwsContext* scaler = scaler_for(video.scaler, picture, video.encoder);
  // The encoder may still hold a reference to the last picture's buffer; only
  // then does this give the scaled frame a new one.
  check(av_frame_make_writable(video.scaled), "video: reuse scaled picture");
  sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, video.scaled->data,
            video.scaled->linesize);
  video.scaled->pts = picture->pts;
  video.scaled->pict_type =
      video.segments.opens_segment(picture->pts) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  encode_and_write(video.encoder, video.output, video.stream, video.scaled, video.packet,
                   &video.durations);
}

void drain_video(video_path& video) {
  encode_and_write(video.encoder, video.output, video.stream, nullptr, video.packet,
                   &video.durations);
}

}  // namespace corvane
