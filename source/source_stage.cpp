#include "source/source_stage.h"

#include <exception>
#include <utility>

#include "transcoder/av_error.h"
#include "transcoder/ffmpeg_log.h"

namespace corvane {
namespace {

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
    for (std::size_t i = 0; i < feeds_.size(); ++i) {
      if (!taking_[i]) continue;
      frame_ptr shared = alloc_frame();
      check(av_frame_ref(shared.get(), picture), "video: share picture");
      taking_[i] = feeds_[i]->push(std::move(shared));
    }
  }

  void packet(const AVPacket* packet) {
    for (std::size_t i = 0; i < feeds_.size(); ++i) {
      if (!taking_[i]) continue;
      packet_ptr shared = alloc_packet();
      check(av_packet_ref(shared.get(), packet), "audio: share packet");
      taking_[i] = feeds_[i]->push(std::move(shared));
    }
  }

  void finish() {
    for (rendition_feed* feed : feeds_) feed->finish();
  }
  void fail(const std::string& reason) {
    for (rendition_feed* feed : feeds_) feed->fail(reason);
  }

 private:
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
      else if (packet_->stream_index == in.audio.index)
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
    drain_audio(stage_.audio, in.audio_decoder.get(), decoded_.get(), share_);
    // A source whose streams are declared but hold nothing decodable (cut off
    // before its first frame, or every packet broken) would otherwise end in a
    // complete-looking playlist of empty segments.
    if (stage_.last_pts == AV_NOPTS_VALUE)
      throw av_error(AVERROR_INVALIDDATA, "video: no picture of the source could be decoded",
                     in.format->url);
    if (stage_.audio.audio_pts == stage_.origin.audio_start_samples)
      throw av_error(AVERROR_INVALIDDATA, "audio: no sound of the source could be decoded",
                     in.format->url);
  }

  // Stamps a decoded picture for every rendition, or drops it when it comes
  // too soon after the last one kept.
  void share_picture(AVFrame* picture) {
    const auto pts = picture_pts(picture_timestamp(picture), stage_.input.video.stream->time_base,
                                 stage_.origin.video_origin, stage_.last_pts);
    if (!pts) return;
    picture->pts = *pts;
    if (stage_.pictures++ == 0) stage_.first_pts = *pts;
    stage_.last_pts = *pts;
    out_.picture(picture);
  }

  source_stage& stage_;
  fan_out& out_;
  packet_ptr packet_ = alloc_packet();
  frame_ptr decoded_ = alloc_frame();
  const packet_sink share_ = [this](AVPacket* packet) { out_.packet(packet); };
};

}  // namespace

source_stage open_source_stage(const std::string& input) {
  source_stage stage;
  stage.input = open_source(input);
  const AVStream* video = stage.input.video.stream;
  const AVStream* audio = stage.input.audio.stream;
  stage.audio = open_audio_chain(stage.input.audio_decoder.get(), audio);
  stage.origin = common_origin(video->start_time, video->time_base, audio->start_time,
                               audio->time_base, stage.audio.encoder->sample_rate);
  stage.audio.audio_pts = stage.origin.audio_start_samples;
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
