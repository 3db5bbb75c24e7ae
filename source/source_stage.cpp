#include "source/source_stage.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "transcoder/av_error.h"
#include "transcoder/ffmpeg_log.h"

namespace corvane {
namespace {

// The most silence one picture of a source without sound accounts for.
constexpr std::int64_t max_silence_per_picture = 10;  // seconds

// Hands one reference of every picture and packet to each rendition still
// taking them. A rendition that has stopped is passed over from then on.
class fan_out {
 public:
  explicit fan_out(const std::vector<rendition_feed*>& feeds)
      : feeds_(feeds), taking_(feeds.size(), true) {}

  bool any_taking() const {
    for (const bool taking : taking_)
      if (taking) return true;
    return false;
  }

  void picture(const AVFrame* picture) {
    share([picture] {
      frame_ptr shared = alloc_frame();
      check(av_frame_ref(shared.get(), picture), "video: share picture");
      return feed_item(std::move(shared));
    });
  }

  void packet(const AVPacket* packet) {
    share([packet] {
      packet_ptr shared = alloc_packet();
      check(av_packet_ref(shared.get(), packet), "audio: share packet");
      return feed_item(std::move(shared));
    });
  }

  void finish() {
    for (rendition_feed* feed : feeds_) feed->finish();
  }
  void fail(const std::string& reason) {
    for (rendition_feed* feed : feeds_) feed->fail(reason);
  }

 private:
  // Hands each rendition still taking items a reference of its own, made by
  // `reference`.
  template <typename Reference>
  void share(Reference reference) {
    for (std::size_t i = 0; i < feeds_.size(); ++i)
      if (taking_[i]) taking_[i] = feeds_[i]->push(reference());
  }

  const std::vector<rendition_feed*>& feeds_;
  std::vector<bool> taking_;
};

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
      if (stop.stop_requested() || !out_.any_taking()) return false;
      const int read = av_read_frame(in.format.get(), packet_.get());
      if (read == AVERROR_EOF) break;
      // A source that breaks off midway must not pass for a whole one.
      check(read, "read source", in.format->url);
      if (packet_->stream_index == in.video.index)
        decode_packet(in.video_decoder.get(), packet_.get(), decoded_.get(),
                      [&](AVFrame* picture) { share_picture(picture); });
      else if (in.has_audio() && packet_->stream_index == in.audio.index)
        decode_packet(in.audio_decoder.get(), packet_.get(), decoded_.get(),
                      [&](AVFrame* samples) { encode_audio_frame(stage_.audio, samples, share_); });
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
      share_picture(decoded_.get());
      av_frame_unref(decoded_.get());
    }
    stage_.treatment.drain(hand_on_);
    // A source whose streams are declared but hold nothing decodable (cut off
    // before its first frame, or every packet broken) would otherwise end in a
    // complete-looking playlist of empty segments.
    if (stage_.last_pts == AV_NOPTS_VALUE)
      throw av_error(AVERROR_INVALIDDATA, "video: no picture of the source could be decoded",
                     in.format->url);
    if (stage_.silent) {
      make_silence(video_end(), true);
      return;
    }
    drain_audio(stage_.audio, in.audio_decoder.get(), decoded_.get(), share_);
    if (stage_.audio.audio_pts == stage_.origin.audio_start_samples)
      throw av_error(AVERROR_INVALIDDATA, "audio: no sound of the source could be decoded",
                     in.format->url);
  }

  // Stamps a decoded picture for every rendition, or drops it when it comes
  // too soon after the last one kept. A kept picture is treated, when the
  // source needs it, and handed on.
  void share_picture(AVFrame* picture) {
    const auto pts = picture_pts(picture_timestamp(picture), stage_.input.video.stream->time_base,
                                 stage_.origin.video_origin, last_stamped_);
    if (!pts) return;
    picture->pts = *pts;
    last_stamped_ = *pts;
    stage_.treatment.treat(picture, hand_on_);
  }

  // Hands a kept, treated picture to every rendition, after the silence up to
  // its time when the source has no sound.
  void hand_on(AVFrame* picture) {
    if (stage_.pictures++ == 0) stage_.first_pts = picture->pts;
    stage_.last_pts = picture->pts;
    if (stage_.silent) make_silence(picture->pts, false);
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

  // Makes the silence up to a picture at `pts`, in whole encoder frames; with
  // `finish`, up to the end of the video at `pts`, and drains the encoder. Each
  // picture accounts for at most max_silence_per_picture more: a source whose
  // timestamps leap ahead (broken, or hostile) cannot keep the encoder busy
  // for hours. Where its pictures are further apart than that, the silence
  // skips ahead to stay in step with them, and at the end it stops short.
  void make_silence(std::int64_t pts, bool finish) {
    audio_chain& audio = stage_.audio;
    const int rate = audio.encoder->sample_rate;
    std::int64_t wanted = av_rescale_q(pts, video_time_base, AVRational{1, rate});
    if (!finish) silence_allowance_ += max_silence_per_picture * rate;
    std::int64_t gap = 0;  // from the silence made so far to the picture
    if (__builtin_sub_overflow(wanted, audio.audio_pts, &gap))
      gap = wanted < 0 ? 0 : INT64_MAX;
    if (gap > silence_allowance_) {
      if (finish)
        wanted = audio.audio_pts + silence_allowance_;
      else
        audio.audio_pts = wanted - silence_allowance_;
    } else if (gap <= 0) {
      wanted = audio.audio_pts;
    }
    const std::int64_t before = audio.audio_pts;
    if (finish)
      finish_silence(audio, wanted, share_);
    else
      encode_silence(audio, wanted, share_);
    silence_allowance_ -= audio.audio_pts - before;
  }

  source_stage& stage_;
  fan_out& out_;
  packet_ptr packet_ = alloc_packet();
  frame_ptr decoded_ = alloc_frame();
  std::int64_t last_stamped_ = AV_NOPTS_VALUE;  // the last picture kept, before treatment
  std::int64_t silence_allowance_ = 0;          // samples of silence the pictures allow
  const packet_sink share_ = [this](AVPacket* packet) { out_.packet(packet); };
  const picture_filter::picture_sink hand_on_ = [this](AVFrame* picture) { hand_on(picture); };
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
  stage.treatment = picture_filter(treatment);
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
