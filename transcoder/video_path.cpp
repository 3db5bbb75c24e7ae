#include "transcoder/video_path.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "transcoder/av_error.h"
#include "transcoder/timeline.h"

namespace corvane {
namespace {

// Decoders leave `pts` unset on pictures they could only time by a guess, as
// raw H.264 streams do.
std::int64_t picture_timestamp(const AVFrame* frame) {
  return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// The scaler for this picture: the one already made when the picture's size and
// format are the same, otherwise a new one, so a change inside the stream never
// reads a picture with a scaler set up for another.
SwsContext* scaler_for(sws_context_ptr& scaler, const AVFrame* picture,
                       const AVCodecContext* encoder) {
  // sws_getCachedContext frees the context it is given when it cannot make one.
  scaler.reset(sws_getCachedContext(scaler.release(), picture->width, picture->height,
                                    static_cast<AVPixelFormat>(picture->format),
                                    encoder->width, encoder->height, encoder->pix_fmt,
                                    SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) throw av_error(AVERROR(EINVAL), "video: create scaler for the source pictures");
  return scaler.get();
}

}  // namespace

int encoder_threads(int width, int height, unsigned cores) {
  if (cores == 0) return 0;
  const double share = double(width) * height / (1920.0 * 1080.0);
  const long threads = std::lround(share * cores);
  return int(std::clamp<long>(threads, 1, long(cores)));
}

codec_context_ptr open_video_encoder(const AVCodec* codec, int width, int height,
                                     int bitrate) {
  codec_context_ptr encoder = alloc_codec_context(codec);
  encoder->width = width;
  encoder->height = height;
  encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  encoder->time_base = video_time_base;
  // Every rendition encodes at once, each with the encoder's own pick of
  // threads (one and a half per core, plus look-ahead) would keep several times
  // the cores busy with frames in flight: memory for no speed. A 1080p encode is
  // over half the ladder's work, so the threads follow the picture area.
  encoder->thread_count =
      encoder_threads(width, height, std::thread::hardware_concurrency());
  encoder->framerate = AVRational{30, 1};
  encoder->bit_rate = bitrate;
  // An H.264 encoder without these private options is still usable.
  av_opt_set(encoder->priv_data, "preset", "fast", 0);
  encoder->gop_size = 60;
  encoder->keyint_min = 60;
  av_opt_set(encoder->priv_data, "sc_threshold", "0", 0);
  check(avcodec_open2(encoder.get(), codec, nullptr), "video: open H.264 encoder");
  return encoder;
}

sws_context_ptr create_scaler(const AVCodecContext* decoder, const AVCodecContext* encoder) {
  if (decoder->width <= 0 || decoder->height <= 0 || decoder->pix_fmt == AV_PIX_FMT_NONE)
    return nullptr;
  sws_context_ptr scaler(sws_getContext(decoder->width, decoder->height, decoder->pix_fmt,
                                        encoder->width, encoder->height, encoder->pix_fmt,
                                        SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) throw av_error(AVERROR(EINVAL), "video: create scaler");
  return scaler;
}

frame_ptr alloc_scaled_frame(const AVCodecContext* encoder) {
  frame_ptr scaled = alloc_frame();
  scaled->format = encoder->pix_fmt;
  scaled->width = encoder->width;
  scaled->height = encoder->height;
  check(av_frame_get_buffer(scaled.get(), 32), "video: allocate scaled picture");
  return scaled;
}

void encode_picture(video_path& video, const AVFrame* decoded) {
  const auto pts = picture_pts(picture_timestamp(decoded), video.source_time_base,
                               video.origin, video.last_pts);
  if (!pts) return;
  SwsContext* scaler = scaler_for(*video.scaler, decoded, video.out.encoder);
  // The encoder may still hold a reference to the last picture's buffer; only
  // then does this give the scaled frame a new one.
  check(av_frame_make_writable(video.scaled), "video: reuse scaled picture");
  sws_scale(scaler, decoded->data, decoded->linesize, 0, decoded->height, video.scaled->data,
            video.scaled->linesize);
  video.scaled->pts = *pts;
  video.last_pts = *pts;
  encode_or_throw(video.out, video.scaled, &video.durations);
}

void drain_video(video_path& video, AVFrame* decoded) {
  // A decoder that is already drained refuses the flush; it has nothing left.
  avcodec_send_packet(video.decoder, nullptr);
  while (avcodec_receive_frame(video.decoder, decoded) >= 0) {
    encode_picture(video, decoded);
    av_frame_unref(decoded);
  }
  encode_or_throw(video.out, nullptr, &video.durations);
}

}  // namespace corvane
