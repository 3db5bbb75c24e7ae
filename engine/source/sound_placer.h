// The source's sound put where its timestamps say, in the one format the
// loudness filter is set up for.
//
// Each decoded frame is converted to that format when it comes in another
// (a broadcast that switches from 5.1 to stereo, a rate that changes at a
// splice), by a converter made again whenever the input changes, so the
// filter runs on without a restart. Frames are then placed by their
// timestamps, as FFmpeg's aresample=async=1 places them: a hole in the sound
// (a capture that lost it for a while) is filled with silence, an overlap
// trimmed (beyond sound_tolerance_per_second), so the sound keeps in step with the pictures to the
// end.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>

#include "ffmpeg/handles.h"

namespace corvane {

class sound_placer {
 public:
  using frame_sink = std::function<void(AVFrame*)>;

  sound_placer() = default;
  // Frames are handed on in `format` (its sample format, rate and layout, as an
  // AVFrame with no samples describes them); their timestamps count in
  // `time_base`. Throws av_error.
  sound_placer(const AVFrame* format, AVRational time_base);

  // Hands `take` the decoded frame, converted when it must be, after the
  // silence that fills a hole before it, or with its start trimmed where it
  // overlaps what came before; nothing of a frame wholly overlapped. A hole is
  // filled in frames that each check `stop` first. Throws av_error.
  void place(AVFrame* decoded, const frame_sink& take, const std::stop_token& stop);

  // The end of the sound: what the converter still holds.
  void drain(const frame_sink& take);

 private:
  bool same_format(const AVFrame* frame) const;
  AVFrame* convert(AVFrame* decoded, const frame_sink& take);
  // Converts `input` (null: what the converter still holds) into converted_.
  void convert_into_frame(const AVFrame* input);
  void hand_on(AVFrame* frame, const frame_sink& take, const std::stop_token& stop);
  void fill(std::int64_t samples, std::int64_t pts, const frame_sink& take,
            const std::stop_token& stop);

  frame_ptr format_;  // the filter's input format, no samples
  AVRational time_base_{1, 1};
  frame_ptr input_format_;  // what the converter was made for
  swr_context_ptr converter_;
  frame_ptr converted_ = alloc_frame();
  std::optional<std::int64_t> first_pts_;  // of the first frame placed, in time_base_
  std::int64_t placed_ = 0;                // samples handed on since the first frame
};

}  // namespace corvane
