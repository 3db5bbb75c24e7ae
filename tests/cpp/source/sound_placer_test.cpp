#include "source/sound_placer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace corvane {
namespace {

// Frames of 1000 samples at 48 kHz (time base 1/48000), placed at `starts`;
// each may come in another format: what comes out, as (pts, samples).
using placed = std::vector<std::pair<std::int64_t, int>>;

placed place_all(const std::vector<std::int64_t>& starts, int rate_change_at = -1) {
  frame_ptr format = alloc_frame();
  format->format = AV_SAMPLE_FMT_FLTP;
  format->sample_rate = 48000;
  av_channel_layout_default(&format->ch_layout, 2);
  sound_placer placer(format.get(), AVRational{1, 48000});
  placed out;
  const auto take = [&](AVFrame* frame) { out.emplace_back(frame->pts, frame->nb_samples); };
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const bool other = rate_change_at >= 0 && int(i) >= rate_change_at;
    frame_ptr frame = alloc_frame();
    frame->format = other ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = 48000;
    av_channel_layout_default(&frame->ch_layout, other ? 1 : 2);
    frame->nb_samples = 1000;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    av_samples_set_silence(frame->extended_data, 0, 1000, frame->ch_layout.nb_channels,
                           static_cast<AVSampleFormat>(frame->format));
    frame->pts = starts[i];
    placer.place(frame.get(), take, {});
  }
  placer.drain(take);
  return out;
}

int total(const placed& frames) {
  int samples = 0;
  for (const auto& [pts, count] : frames) samples += count;
  return samples;
}

TEST(SoundPlacer, LeavesContiguousAndSlightlyJitteryFramesAsTheyCome) {
  EXPECT_EQ(place_all({0, 1000, 2000}), (placed{{0, 1000}, {1000, 1000}, {2000, 1000}}));
  // Within 20 ms (960 samples) of where the sound has reached.
  EXPECT_EQ(place_all({0, 1900, 2100}), (placed{{0, 1000}, {1900, 1000}, {2100, 1000}}));
}

TEST(SoundPlacer, FillsAHoleWithSilenceAndTrimsAnOverlap) {
  // Two seconds missing after the first frame: silence in their place.
  const placed hole = place_all({0, 97000});
  EXPECT_EQ(total(hole), 98000);
  EXPECT_EQ(hole.back(), (std::pair<std::int64_t, int>{97000, 1000}));
  // A frame that starts 1000 samples early loses what overlaps; one wholly
  // overlapped is dropped.
  EXPECT_EQ(place_all({0, 1000, 2000, 1000, 3000}),
            (placed{{0, 1000}, {1000, 1000}, {2000, 1000}, {3000, 1000}}));
}

TEST(SoundPlacer, ConvertsAChangeOfFormatAndKeepsTheSoundWhole) {
  // Mono 16-bit from the third frame on: converted to stereo float, nothing lost.
  const placed switched = place_all({0, 1000, 2000, 3000, 4000}, 2);
  EXPECT_EQ(total(switched), 5000);
}

}  // namespace
}  // namespace corvane
