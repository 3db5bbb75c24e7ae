#include "source/audio_chain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <utility>
#include <vector>

namespace corvane {
namespace {

// One frame handed to the encoder: its pts and length.
struct cut {
  std::int64_t pts;
  int samples;
  bool operator==(const cut&) const = default;
};
void PrintTo(const cut& c, std::ostream* os) { *os << c.samples << "@" << c.pts; }
using cuts = std::vector<cut>;

class CutFifoFrames : public testing::Test {
 protected:
  void SetUp() override {
    encoder_->frame_size = 1024;
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = 44100;
    av_channel_layout_default(&encoder_->ch_layout, 2);
    ASSERT_NE(fifo_, nullptr);
  }

  // The left channel carries each sample's index, the right one its negation.
  void fill(int samples) {
    std::vector<float> left(samples), right(samples);
    for (int i = 0; i < samples; ++i) right[i] = -(left[i] = static_cast<float>(written_ + i));
    void* planes[] = {left.data(), right.data()};
    ASSERT_EQ(av_audio_fifo_write(fifo_.get(), planes, samples), samples);
    written_ += samples;
  }

  // Cuts frames, checking that each carries the next samples in order.
  cuts run(bool flush) {
    cuts seen;
    cut_fifo_frames(fifo_.get(), encoder_.get(), pts_, flush, [&](const AVFrame* f) {
      seen.push_back({f->pts, f->nb_samples});
      EXPECT_EQ(f->format, AV_SAMPLE_FMT_FLTP);
      EXPECT_EQ(f->ch_layout.nb_channels, 2);
      const auto* left = reinterpret_cast<const float*>(f->extended_data[0]);
      const auto* right = reinterpret_cast<const float*>(f->extended_data[1]);
      for (int i = 0; i < f->nb_samples; ++i, ++read_)
        if (left[i] != static_cast<float>(read_) || right[i] != -left[i])
          ADD_FAILURE() << "sample " << read_ << " came out as " << left[i] << "/" << right[i];
    });
    return seen;
  }

  codec_context_ptr encoder_ = alloc_codec_context(nullptr);
  audio_fifo_ptr fifo_{av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, 1)};
  std::int64_t pts_ = 0;
  int written_ = 0;
  int read_ = 0;
};

TEST_F(CutFifoFrames, WholeFramesFirstThenTheShortRestOnFlush) {
  fill(2 * 1024 + 452);
  EXPECT_EQ(run(false), (cuts{{0, 1024}, {1024, 1024}}));
  EXPECT_EQ(av_audio_fifo_size(fifo_.get()), 452);
  EXPECT_EQ(run(true), (cuts{{2048, 452}}));
  EXPECT_EQ(av_audio_fifo_size(fifo_.get()), 0);
  EXPECT_EQ(pts_, 2500);
  EXPECT_EQ(read_, written_);
}

TEST_F(CutFifoFrames, SamplesAddedBetweenCutsKeepTheirOrder) {
  fill(700);
  EXPECT_EQ(run(false), cuts{});
  fill(700);
  EXPECT_EQ(run(false), (cuts{{0, 1024}}));
  fill(1000);
  EXPECT_EQ(run(true), (cuts{{1024, 1024}, {2048, 352}}));
}

TEST_F(CutFifoFrames, ExactMultipleLeavesNoShortFrame) {
  fill(3 * 1024);
  EXPECT_EQ(run(true), (cuts{{0, 1024}, {1024, 1024}, {2048, 1024}}));
  EXPECT_EQ(run(true), cuts{});
}

TEST_F(CutFifoFrames, StartingOffsetShiftsEveryPts) {
  fill(2 * 1024 + 10);
  pts_ = 882;
  EXPECT_EQ(run(true), (cuts{{882, 1024}, {1906, 1024}, {2930, 10}}));
  EXPECT_EQ(pts_, 2940);
}

TEST(ClipToFullScale, ClipsEveryChannelAndLeavesNaNForTheEncoder) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {3e4f, 1e9f, -2.0f, 0.5f, -1.0f, 1.0f, inf, -inf, 0.0f};
  const std::vector<float> out = {1.0f, 1.0f, -1.0f, 0.5f, -1.0f, 1.0f, 1.0f, -1.0f, 0.0f};
  frame_ptr frame = alloc_frame();
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->nb_samples = static_cast<int>(in.size()) + 1;
  av_channel_layout_default(&frame->ch_layout, 2);
  ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  for (int channel = 0; channel < 2; ++channel) {
    auto* samples = reinterpret_cast<float*>(frame->extended_data[channel]);
    for (std::size_t i = 0; i < in.size(); ++i) samples[i] = channel == 0 ? in[i] : -in[i];
    samples[in.size()] = std::numeric_limits<float>::quiet_NaN();
  }
  clip_to_full_scale(frame.get());
  for (int channel = 0; channel < 2; ++channel) {
    const auto* samples = reinterpret_cast<const float*>(frame->extended_data[channel]);
    for (std::size_t i = 0; i < out.size(); ++i)
      EXPECT_EQ(samples[i], channel == 0 ? out[i] : -out[i]) << "channel " << channel << " #" << i;
    EXPECT_TRUE(std::isnan(samples[in.size()]));
  }
}

// The source filter's arguments for a 48 kHz planar float decoder with `layout`.
std::string source_args(const AVChannelLayout& layout) {
  codec_context_ptr decoder = alloc_codec_context(nullptr);
  decoder->sample_rate = 48000;
  decoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  EXPECT_GE(av_channel_layout_copy(&decoder->ch_layout, &layout), 0);
  const std::string args = audio_source_args(decoder.get(), AVRational{1, 48000});
  const std::string prefix = "time_base=1/48000:sample_rate=48000:sample_fmt=fltp:channel_layout=";
  EXPECT_EQ(args.rfind(prefix, 0), 0u) << args;
  return args.substr(prefix.size());
}

TEST(AudioSourceArgs, NamesTheDecodersLayout) {
  for (const auto& [channels, name] : {std::pair{1, "mono"}, {2, "stereo"}, {6, "5.1"}}) {
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, channels);
    EXPECT_EQ(source_args(layout), name);
  }
}

TEST(AudioSourceArgs, UnorderedLayoutGetsFFmpegsDescription) {
  AVChannelLayout two{};
  two.order = AV_CHANNEL_ORDER_UNSPEC;
  two.nb_channels = 2;
  char described[64] = {};
  ASSERT_GT(av_channel_layout_describe(&two, described, sizeof described), 0);
  EXPECT_STRNE(described, "");
  EXPECT_EQ(source_args(two), described);
}

TEST(AudioSourceArgs, NoChannelsAtAllIsTakenForStereo) {
  EXPECT_EQ(source_args(AVChannelLayout{}), "stereo");
}

TEST(Silence, WholeFramesUpToEachPictureThenTheRestAtTheEnd) {
  audio_chain silent = open_silent_chain();
  EXPECT_EQ(silent.graph, nullptr);
  std::vector<std::int64_t> packets;
  const packet_sink sink = [&](AVPacket* packet) {
    packets.push_back(packet->pts);
    EXPECT_GT(packet->size, 0);
  };
  encode_silence(silent, 1000, sink);  // less than one frame: nothing yet
  EXPECT_EQ(silent.audio_pts, 0);
  encode_silence(silent, 4410, sink);  // a tenth of a second: four whole frames
  EXPECT_EQ(silent.audio_pts, 4096);
  finish_silence(silent, 4410, sink);  // and the 314 samples left
  EXPECT_EQ(silent.audio_pts, 4410);
  // Every frame came out, after the encoder's priming frame, in order.
  ASSERT_EQ(packets.size(), 6u);
  EXPECT_EQ(packets.front(), -1024);
  for (std::size_t i = 1; i < packets.size(); ++i) EXPECT_EQ(packets[i], packets[i - 1] + 1024);
}

}  // namespace
}  // namespace corvane
