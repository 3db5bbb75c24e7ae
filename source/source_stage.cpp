#include "source/source_stage.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "feed/picture_time.h"
#include "ffmpeg/error.h"
#include "ffmpeg/log.h"
#include "source/fan_out.h"
#include "source/silence_pacer.h"

namespace corvane {
namespace {

// Decoders leave `pts` unset on pictures they could only time by a guess, as
// raw H.264 streams do.
std::int64_t picture_timestamp(const AVFrame* frame) {
  return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// Sends one packet to its decoder and hands every picture or audio frame that
// comes out to `step`. A packet the decoder refuses, or cannot decode, costs
// that packet only.
template <typename Step>
void decode_packet(AVCodecContext* decoder, const AVPacket* packet, AVFrame* decoded,
                   Step&& step) {
  if (avcodec_send_packet(decoder, packet) < 0) return;
  while (avcodec_receive_frame(decoder, decoded) >= 0) {
    step(decoded);
    av_frame_unref(decoded);
  }
}

class source_reader {
 public:
  source_reader(source_stage& stage, fan_out& out) : stage_(stage), out_(out) {}

  // Reads and decodes the whole source; false when it stopped early.
  bool read(const std::stop_token& stop) {
    source_input& in = stage_.input;
    for (;;) {
      if (stop.stop_requested() || !out_.any_accepting()) return false;
      const int read = av_read_frame(in.format.get(), packet_.get());
      if (read == AVERROR_EOF) break;
      // A source that breaks off midway must not pass for a whole one.
      check(read, "read source", in.format->url);
      if (packet_->stream_index == in.video.index)
        decode_packet(in.video_decoder.get(), packet_.get(), decoded_.get(),
                      [&](AVFrame* picture) { stamp_picture(picture); });
      else if (in.has_audio() && packet_->stream_index == in.audio.index)
        decode_packet(in.audio_decoder.get(), packet_.get(), decoded_.get(), [&](AVFrame* sound) {
          encode_audio_frame(stage_.audio, sound, to_renditions_);
        });
      av_packet_unref(packet_.get());
    }
    drain();
    return true;
  }

 private:
  // Every picture reaches the renditions before the audio tail does.
  void drain() {
    source_input& in = stage_.input;
    // A decoder that is already drained refuses the flush; it has nothing left.
    avcodec_send_packet(in.video_decoder.get(), nullptr);
    while (avcodec_receive_frame(in.video_decoder.get(), decoded_.get()) >= 0) {
      stamp_picture(decoded_.get());
      av_frame_unref(decoded_.get());
    }
    stage_.treatment.drain(deliver_);
    // A source whose streams are declared but hold nothing decodable (cut off
    // before its first frame, or every packet broken) would otherwise end in a
    // complete-looking playlist of empty segments.
    if (stage_.last_pts == AV_NOPTS_VALUE)
      throw av_error(AVERROR_INVALIDDATA, "video: no picture of the source could be decoded",
                     in.format->url);
    if (stage_.silent) {
      silence_.finish(video_end(), to_renditions_);
      return;
    }
    drain_audio(stage_.audio, in.audio_decoder.get(), decoded_.get(), to_renditions_);
    if (stage_.audio.audio_pts == stage_.origin.audio_start_samples)
      throw av_error(AVERROR_INVALIDDATA, "audio: no sound of the source could be decoded",
                     in.format->url);
  }

  // Stamps a decoded picture for every rendition, or drops it when it comes
  // too soon after the last one kept. A kept picture is treated, when the
  // source needs it, and handed on.
  void stamp_picture(AVFrame* picture) {
    const auto pts = picture_pts(picture_timestamp(picture), stage_.input.video.stream->time_base,
                                 stage_.origin.video_origin, last_stamped_);
    if (!pts) return;
    picture->pts = *pts;
    last_stamped_ = *pts;
    stage_.treatment.treat(picture, deliver_);
  }

  // Hands a kept, treated picture to every rendition, after the silence up to
  // its time when the source has no sound.
  void deliver(AVFrame* picture) {
    if (stage_.pictures++ == 0) stage_.first_pts = picture->pts;
    stage_.last_pts = picture->pts;
    if (stage_.silent) silence_.before_picture(picture->pts, to_renditions_);
    out_.picture(picture);
  }

  // Where the video ends, in video_time_base: a picture after the last one,
  // at the pictures' mean interval (1/30 s for a single picture).
  std::int64_t video_end() const {
    std::int64_t interval = picture_interval;
    std::int64_t span = 0;  // a source's timestamps may sit at both ends of 64 bits
    if (stage_.pictures > 1 && !__builtin_sub_overflow(stage_.last_pts, stage_.first_pts, &span) &&
        span > 0)
      interval = std::max<std::int64_t>(span / (stage_.pictures - 1), 1);
    return stage_.last_pts > INT64_MAX - interval ? stage_.last_pts : stage_.last_pts + interval;
  }

  source_stage& stage_;
  fan_out& out_;
  packet_ptr packet_ = alloc_packet();
  frame_ptr decoded_ = alloc_frame();
  std::int64_t last_stamped_ = AV_NOPTS_VALUE;  // the last picture kept, before treatment
  silence_pacer silence_{stage_.audio};
  const packet_sink to_renditions_ = [this](AVPacket* packet) { out_.packet(packet); };
  const treatment_graph::picture_sink deliver_ = [this](AVFrame* picture) { deliver(picture); };
};

}  // namespace

source_stage open_source_stage(const std::string& input) {
  source_stage stage;
  stage.input = open_source(input);
  AVStream* video = stage.input.video.stream;
  if (stage.input.has_audio()) {
    const AVStream* audio = stage.input.audio.stream;
    stage.audio = open_audio_chain(stage.input.audio_decoder.get(), audio);
    stage.origin = common_origin(video->start_time, video->time_base, audio->start_time,
                                 audio->time_base, stage.audio.encoder->sample_rate);
  } else {
    stage.silent = true;
    stage.audio = open_silent_chain();
    stage.origin = video_only_origin(video->start_time);
  }
  stage.audio.audio_pts = stage.origin.audio_start_samples;

  const picture_treatment treatment = treatment_for(video);
  const AVCodecParameters* pictures = video->codecpar;
  const AVRational sample_aspect_ratio =
      av_guess_sample_aspect_ratio(stage.input.format.get(), video, nullptr);
  stage.display_aspect =
      display_aspect(pictures->width, pictures->height, sample_aspect_ratio, treatment.turn);
  stage.treatment = treatment_graph(treatment);
  stage.treatment.prepare(pictures->width, pictures->height, pictures->format,
                          sample_aspect_ratio);
  const AVPixelFormat treated = stage.treatment.output_format();
  stage.colour = rendition_colour(
      treatment.source_colour,
      treated != AV_PIX_FMT_NONE ? treated : static_cast<AVPixelFormat>(pictures->format),
      treatment.tone_maps());
  stage.audio_parameters = alloc_codec_parameters();
  check(avcodec_parameters_from_context(stage.audio_parameters.get(), stage.audio.encoder.get()),
        "audio: copy encoder parameters");
  return stage;
}

void run_source_stage(source_stage& stage, const std::vector<rendition_feed*>& feeds,
                      std::stop_token stop) noexcept {
  take_ffmpeg_log();  // what this thread logged before is not this call's
  fan_out out(feeds);
  try {
    source_reader reader(stage, out);
    reader.read(stop);
    out.finish();
  } catch (const std::exception& failure) {
    out.fail(failure.what());
  } catch (...) {
    out.fail("unknown failure");
  }
}

}  // namespace corvane
