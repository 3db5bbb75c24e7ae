// One timeline for the whole source, built from its own timestamps.
//
// A source's timestamps are not always one clean line: files joined end to end
// start again in the middle, broadcast captures splice, lose a stream for a
// while, or carry a damaged timestamp. The clock reads the source's packets a
// little ahead, tells these apart the way FFmpeg's own command line does (a
// jump of more than `jump_threshold` from where a stream should be next), and
// rewrites each packet's timestamps so that both streams run on one timeline:
//
// - a reset or jump in both streams (joined files, splices) continues right
//   after what came before; a forward gap in both streams is kept as the
//   source has it, up to `max_gap`, except in formats that declare
//   discontinuities (MPEG-TS), where a gap beyond `jump_threshold` is closed;
//   a longer gap fails the call;
// - a gap in one stream that agrees with the other stream's clock is a hole,
//   left for the stages after to fill (silence, the last picture held);
// - a timestamp that disagrees with both where its own stream should be next
//   and with the other stream's clock, and that the stream's next packet does
//   not follow, is damaged: that packet follows its predecessor, and it never
//   sets the timeline's origin; a stream whose timestamps alone jump for good
//   continues after its predecessor.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/handles.h"
#include "product/settings.h"
#include "source/read_watch.h"

namespace corvane {

class source_clock {
 public:
  // Reads `format`'s packets of the streams `video` and `audio` (-1: none);
  // packets of other streams are passed over. Each read answers to `watch`.
  // The context and the watch outlive the clock.
  source_clock(AVFormatContext* format, int video, int audio, read_watch& watch);

  // The first timestamp of `stream` (its time base) that the timeline starts
  // from: the stream's start time, unless its first packet is damaged, then the
  // first that is not. Reads ahead; throws av_error when reading fails.
  std::int64_t start_time(int stream);

  // The next packet of the two streams, its timestamps placed on the timeline;
  // false at the end of the source. Throws av_error when the source breaks off
  // (an error reading, also one found at the end of the file, or a read that
  // timed out), source_read_stopped when the call is stopped, and
  // std::invalid_argument naming the source when its timestamps leave a gap
  // longer than max_gap_us.
  bool read(AVPacket* packet);

 private:
  struct track {
    int index = -1;
    AVRational time_base{1, 1};
    std::optional<std::int64_t> next_us;    // where its next packet should be, on the timeline
    std::optional<std::int64_t> placed_us;  // where its last packet went
    std::int64_t offset_us = 0;             // from its timestamps to the timeline
    std::int64_t last_duration_us = 0;
  };

  // A packet in the look-ahead and its decisive time, in microseconds.
  struct timed_packet {
    std::size_t position;
    std::int64_t time;
  };

  track* track_of(int stream_index);
  track* other_than(const track* one);
  // Reads until `count` packets are ahead, or the end of the source.
  void fill(std::size_t count);
  // The decisive timestamp of a packet, in microseconds, or nothing.
  std::optional<std::int64_t> raw_us(const track& stream, const AVPacket* packet) const;
  // The next packet of `stream` in the look-ahead from position `after` on.
  const AVPacket* next_of(const track& stream, std::size_t after) const;
  // Up to `count` of `stream`'s packets with a usable timestamp, from `from` on.
  std::vector<timed_packet> timed_ahead(const track& stream, std::size_t from,
                                        std::size_t count) const;
  // A packet at `t` is damaged when the stream's next two timed packets, from
  // `from` on, agree with each other and not with it: then the first of them.
  std::optional<timed_packet> undamaged_after(const track& stream, std::int64_t t,
                                              std::size_t from) const;
  void place(track& stream, AVPacket* packet);
  void shift(AVPacket* packet, const track& stream, std::int64_t by_us) const;
  std::int64_t duration_us(const track& stream, const AVPacket* packet) const;
  [[noreturn]] void refuse_gap(std::int64_t gap_us, std::int64_t at_us) const;

  AVFormatContext* format_;
  read_watch& watch_;
  track video_;
  track audio_;
  std::deque<packet_ptr> ahead_;
  packet_ptr spare_;  // an emptied packet, read into next
  bool ended_ = false;
  // Formats that say their timestamps may jump (MPEG-TS): gaps there are closed.
  bool declares_jumps_ = false;
};

}  // namespace corvane
