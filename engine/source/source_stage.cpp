#include "source/source_stage.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "ffmpeg/decode.h"
#include "ffmpeg/error.h"
#include "ffmpeg/log.h"
#include "product/settings.h"
#include "source/fan_out.h"
#include "source/picture_grid.h"
#include "source/silence_pacer.h"

namespace corvane {
namespace {

// Decoders leave `pts` unset on pictures they could only time by a guess, as
// raw H.264 streams do.
std::int64_t picture_timestamp(const AVFrame* frame) {
  return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// The longest hole held: what the source clock lets through.
constexpr std::int64_t max_hold = max_gap_in(video_time_base.den);

class source_reader {
 public:
  source_reader(source_stage& stage, fan_out& out, std::stop_token stop)
      : stage_(stage), out_(out), stop_(std::move(stop)) {}

  // Reads and decodes the whole source; false when it stopped early.
  bool read() {
    source_input& in = stage_.input;
    for (;;) {
      if (stop_.stop_requested() || !out_.any_accepting()) return false;
      if (!stage_.clock->read(packet_.get())) break;
      if (packet_->stream_index == in.video.index)
        decode_packet(in.video_decoder.get(), packet_.get(), decoded_.get(), stamp_);
      else if (in.has_audio() && packet_->stream_index == in.audio.index)
        decode_packet(in.audio_decoder.get(), packet_.get(), decoded_.get(), encode_sound_);
      av_packet_unref(packet_.get());
    }
    drain();
    return true;
  }

 private:
  // Every picture reaches the renditions before the audio tail does.
  void drain() {
    source_input& in = stage_.input;
    drain_decoder(in.video_decoder.get(), decoded_.get(), stamp_);
    stage_.treatment.drain(deliver_);
    // A source whose streams are declared but hold nothing decodable (cut off
    // before its first frame, or every packet broken) would otherwise end in a
    // complete-looking playlist of empty segments.
    if (stage_.last_pts == AV_NOPTS_VALUE)
      throw av_error(AVERROR_INVALIDDATA, "video: no picture of the source could be decoded",
                     in.format->url);
    if (stage_.silent) {
      silence_.finish(video_end(), to_renditions_, stop_);
      return;
    }
    drain_audio(stage_.audio, in.audio_decoder.get(), decoded_.get(), to_renditions_, stop_);
    if (stage_.audio.audio_pts == stage_.origin.audio_start_samples)
      throw av_error(AVERROR_INVALIDDATA, "audio: no sound of the source could be decoded",
                     in.format->url);
    // Sound that goes on after the pictures end plays under the last one.
    follow_sound(0);
  }

  // Where the sound encoded so far ends, in video_time_base.
  std::int64_t sound_time() const {
    const AVCodecContext* encoder = stage_.audio.encoder.get();
    return av_rescale_q(stage_.audio.audio_pts, AVRational{1, encoder->sample_rate},
                        video_time_base);
  }

  // Holds the last picture while the sound runs on more than a hole's length
  // past it, up to `behind` before the sound, so that a hole in the video, or
  // its end before the sound's, reaches the renditions with the sound of its time.
  // Followed step by step, the sound is never far ahead; sound that starts far
  // from the pictures is not a hole to hold through.
  void follow_sound(std::int64_t behind) {
    if (last_picture_->buf[0] == nullptr) return;
    const std::int64_t sound = sound_time();
    std::int64_t lead = 0;
    if (!__builtin_sub_overflow(sound, stage_.last_pts, &lead) && lead > behind + hold_after &&
        lead <= max_hold)
      hold_until(sound - behind);
  }

  // Stamps a decoded picture on the grid, or drops it when the grid has no
  // room for it. A kept picture is treated, when the source needs it, and
  // handed on.
  void stamp_picture(AVFrame* picture) {
    const auto pts = grid_.stamp(picture_timestamp(picture), stage_.input.video.stream->time_base,
                                 stage_.origin.video_origin);
    if (!pts) return;
    picture->pts = *pts;
    stage_.treatment.treat(picture, deliver_);
  }

  // Hands a kept, treated picture to every rendition, after the last one held
  // through a hole before it, and the silence up to its time when the source
  // has no sound.
  void deliver(AVFrame* picture) {
    std::int64_t gap = 0;
    if (last_picture_->buf[0] != nullptr) {
      if (picture->pts <= stage_.last_pts) return;  // its time was held while the sound ran on
      if (!__builtin_sub_overflow(picture->pts, stage_.last_pts, &gap) && gap > hold_after &&
          gap <= max_hold)
        hold_until(picture->pts);
    }
    hand_out(picture);
    av_frame_unref(last_picture_.get());
    check(av_frame_ref(last_picture_.get(), picture), "video: keep the last picture");
  }

  // The last picture again at each slot of the grid after the last picture
  // handed out, up to `pts`.
  void hold_until(std::int64_t pts) {
    frame_ptr held = alloc_frame();
    for (std::int64_t slot = stage_.last_pts / picture_interval + 1;
         slot * picture_interval <= pts - picture_interval && !stop_.stop_requested(); ++slot) {
      check(av_frame_ref(held.get(), last_picture_.get()), "video: hold the last picture");
      held->pts = slot * picture_interval;
      hand_out(held.get());
      av_frame_unref(held.get());
    }
  }

  void hand_out(AVFrame* picture) {
    if (stage_.pictures++ == 0) stage_.first_pts = picture->pts;
    stage_.last_pts = picture->pts;
    if (stage_.silent) silence_.before_picture(picture->pts, to_renditions_, stop_);
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
  const std::stop_token stop_;
  packet_ptr packet_ = alloc_packet();
  frame_ptr decoded_ = alloc_frame();
  frame_ptr last_picture_ = alloc_frame();  // a reference, once a picture was handed out
  picture_grid grid_;
  silence_pacer silence_{stage_.audio};
  const packet_sink to_renditions_ = [this](AVPacket* packet) { out_.packet(packet); };
  const treatment_graph::picture_sink deliver_ = [this](AVFrame* picture) { deliver(picture); };
  const frame_step stamp_ = [this](AVFrame* picture) { stamp_picture(picture); };
  const frame_step encode_sound_ = [this](AVFrame* sound) {
    encode_audio_frame(stage_.audio, sound, to_renditions_, stop_);
    follow_sound(sound_lead);
  };
};

}  // namespace

source_stage open_source_stage(const std::string& input, std::stop_token stop) {
  source_stage stage;
  stage.input = open_source(input, std::move(stop));
  AVStream* video = stage.input.video.stream;
  stage.clock = std::make_unique<source_clock>(stage.input.format.get(), stage.input.video.index,
                                               stage.input.audio.index, *stage.input.watch);
  // Each stream starts where its first undamaged timestamp says.
  const std::int64_t video_start = stage.clock->start_time(video->index);
  if (stage.input.has_audio()) {
    const AVStream* audio = stage.input.audio.stream;
    stage.audio = open_audio_chain(stage.input.audio_decoder.get(), audio);
    stage.origin =
        common_origin(video_start, video->time_base, stage.clock->start_time(audio->index),
                      audio->time_base, stage.audio.encoder->sample_rate);
  } else {
    stage.silent = true;
    stage.audio = open_silent_chain();
    stage.origin = video_only_origin(video_start);
  }
  stage.audio.audio_pts = stage.origin.audio_start_samples;

  const picture_treatment treatment = treatment_for(video);
  const AVCodecParameters* pictures = video->codecpar;
  const AVRational sample_aspect_ratio =
      av_guess_sample_aspect_ratio(stage.input.format.get(), video, nullptr);
  stage.display_aspect =
      display_aspect(pictures->width, pictures->height, sample_aspect_ratio, treatment.turn);
  stage.treatment = treatment_graph(treatment);
  stage.treatment.prepare(pictures->width, pictures->height, pictures->format, sample_aspect_ratio);
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
    source_reader reader(stage, out, std::move(stop));
    reader.read();
    out.finish();
  } catch (const std::exception& failure) {
    stage.failure = std::current_exception();
    out.fail(failure.what());
  } catch (...) {
    stage.failure = std::current_exception();
    out.fail("unknown failure");
  }
}

}  // namespace corvane
