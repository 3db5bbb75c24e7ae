#include "source/source_clock.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "ffmpeg/error.h"
#include "ffmpeg/log.h"

namespace corvane {
namespace {

constexpr AVRational microseconds{1, 1'000'000};

// Durations of packets that do not say, before a stream has shown its own.
constexpr std::int64_t default_video_duration_us = 33'333;
constexpr std::int64_t default_audio_duration_us = 21'333;

std::optional<std::int64_t> to_us(std::int64_t ts, AVRational time_base) {
  if (ts == AV_NOPTS_VALUE) return std::nullopt;
  const std::int64_t us = av_rescale_q(ts, time_base, microseconds);
  // Timestamps that do not fit in microseconds are as good as none.
  if (us == AV_NOPTS_VALUE || std::llabs(us) > (INT64_MAX >> 2)) return std::nullopt;
  return us;
}

// Whether `next` continues a stream from a packet at `previous` (both on one
// clock): not far back, and not a jump ahead.
bool continues(std::int64_t previous, std::int64_t next) {
  const std::int64_t step = next - previous;
  return step >= -step_back_us && step <= jump_threshold_us;
}

}  // namespace

source_clock::source_clock(AVFormatContext* format, int video, int audio, read_watch& watch)
    : format_(format), watch_(watch) {
  declares_jumps_ = (format->iformat->flags & AVFMT_TS_DISCONT) != 0;
  video_.index = video;
  audio_.index = audio;
  if (video >= 0) video_.time_base = format->streams[video]->time_base;
  if (audio >= 0) audio_.time_base = format->streams[audio]->time_base;
}

source_clock::track* source_clock::track_of(int stream_index) {
  if (stream_index == video_.index) return &video_;
  if (stream_index == audio_.index) return &audio_;
  return nullptr;
}

source_clock::track* source_clock::other_than(const track* one) {
  track* other = one == &video_ ? &audio_ : &video_;
  return other->index >= 0 ? other : nullptr;
}

void source_clock::fill(std::size_t count) {
  while (ahead_.size() < count && !ended_) {
    // Packets emptied by read() are used again: no allocation per packet.
    packet_ptr packet = spare_ ? std::move(spare_) : alloc_packet();
    take_ffmpeg_log();  // what was said before this read is not its reason
    watch_.starting();
    const int ret = av_read_frame(format_, packet.get());
    if (ret == AVERROR_EOF) {
      // A network source that breaks off or times out ends as if at the end of
      // the file, with the reason kept by its I/O context: it must not pass for
      // a whole source.
      if (format_->pb != nullptr && format_->pb->error < 0)
        watch_.check(format_->pb->error, "read source", format_->url);
      ended_ = true;
      break;
    }
    watch_.check(ret, "read source", format_->url);
    if (track_of(packet->stream_index) != nullptr) {
      ahead_.push_back(std::move(packet));
    } else {
      av_packet_unref(packet.get());
      spare_ = std::move(packet);
    }
  }
}

std::optional<std::int64_t> source_clock::raw_us(const track& stream,
                                                 const AVPacket* packet) const {
  if (const auto dts = to_us(packet->dts, stream.time_base)) return dts;
  return to_us(packet->pts, stream.time_base);
}

const AVPacket* source_clock::next_of(const track& stream, std::size_t after) const {
  for (std::size_t i = after; i < ahead_.size(); ++i)
    if (ahead_[i]->stream_index == stream.index) return ahead_[i].get();
  return nullptr;
}

std::int64_t source_clock::duration_us(const track& stream, const AVPacket* packet) const {
  if (packet->duration > 0) {
    const auto us = to_us(packet->duration, stream.time_base);
    if (us && *us > 0 && *us < 10'000'000) return *us;
  }
  if (stream.last_duration_us > 0) return stream.last_duration_us;
  return &stream == &video_ ? default_video_duration_us : default_audio_duration_us;
}

void source_clock::shift(AVPacket* packet, const track& stream, std::int64_t by_us) const {
  if (by_us == 0) return;
  const std::int64_t by = av_rescale_q(by_us, microseconds, stream.time_base);
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += by;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += by;
}

void source_clock::refuse_gap(std::int64_t gap_us, std::int64_t at_us) const {
  throw std::invalid_argument(
      "the source's timestamps leave a gap of " + std::to_string(gap_us / 1'000'000) + " s after " +
      std::to_string(at_us / 1'000'000) + " s, more than the " +
      std::to_string(max_gap_us / 1'000'000) + " s a ladder keeps: '" + format_->url + "'");
}

std::vector<source_clock::timed_packet> source_clock::timed_ahead(const track& stream,
                                                                  std::size_t from,
                                                                  std::size_t count) const {
  std::vector<timed_packet> found;
  for (std::size_t i = from; i < ahead_.size() && found.size() < count; ++i) {
    if (ahead_[i]->stream_index != stream.index) continue;
    if (const auto t = raw_us(stream, ahead_[i].get())) found.push_back({i, *t});
  }
  return found;
}

std::optional<source_clock::timed_packet> source_clock::undamaged_after(const track& stream,
                                                                        std::int64_t t,
                                                                        std::size_t from) const {
  const auto next = timed_ahead(stream, from, 2);
  if (next.size() == 2 && !continues(t, next[0].time) && continues(next[0].time, next[1].time))
    return next[0];
  return std::nullopt;
}

std::int64_t source_clock::start_time(int stream_index) {
  fill(clock_look_ahead);
  const AVStream* stream = format_->streams[stream_index];
  const track* own = track_of(stream_index);
  const auto first = own ? timed_ahead(*own, 0, 1) : std::vector<timed_packet>{};
  if (first.empty()) return stream->start_time;
  const AVPacket* start = ahead_[first[0].position].get();
  if (const auto later = undamaged_after(*own, first[0].time, first[0].position + 1))
    start = ahead_[later->position].get();
  else if (start == next_of(*own, 0))
    return stream->start_time;  // the stream's own first packet: as FFmpeg found it
  return start->pts != AV_NOPTS_VALUE ? start->pts : start->dts;
}

bool source_clock::read(AVPacket* packet) {
  fill(clock_look_ahead);
  if (ahead_.empty()) return false;
  packet_ptr front = std::move(ahead_.front());
  ahead_.pop_front();
  place(*track_of(front->stream_index), front.get());
  av_packet_move_ref(packet, front.get());
  spare_ = std::move(front);
  return true;
}

void source_clock::place(track& stream, AVPacket* packet) {
  const std::int64_t duration = duration_us(stream, packet);
  const auto raw = raw_us(stream, packet);
  if (!raw) {
    // Without a usable timestamp the packet keeps its place after its
    // predecessor; the stages after time it from there.
    if (stream.next_us) {
      if (packet->pts != AV_NOPTS_VALUE || packet->dts != AV_NOPTS_VALUE)
        packet->pts = packet->dts = av_rescale_q(*stream.next_us, microseconds, stream.time_base);
      *stream.next_us += duration;
    } else {
      packet->pts = packet->dts = AV_NOPTS_VALUE;
    }
    return;
  }
  const std::int64_t t = *raw + stream.offset_us;
  const auto accept = [&](std::int64_t at) {
    shift(packet, stream, at - *raw);
    // A stream whose packets do not say how long they last is timed by its steps.
    if (packet->duration <= 0 && stream.placed_us && at > *stream.placed_us &&
        at - *stream.placed_us < 1'000'000)
      stream.last_duration_us = at - *stream.placed_us;
    else if (packet->duration > 0)
      stream.last_duration_us = duration;
    stream.placed_us = at;
    stream.next_us = at + duration;
  };

  if (!stream.next_us) {
    // The stream's first timed packet, when damaged, comes just before the next.
    if (const auto next = undamaged_after(stream, *raw, 0))
      return accept(next->time + stream.offset_us - duration);
    return accept(t);
  }

  const std::int64_t jump = t - *stream.next_us;
  if (jump >= -step_back_us && jump <= jump_threshold_us) return accept(t);

  // Far from where the stream should be: a hole in this stream when it agrees
  // with the other stream's clock.
  track* other = other_than(&stream);
  if (other != nullptr && other->next_us) {
    const std::int64_t ahead_of_other = t - *other->next_us;
    if (ahead_of_other >= -behind_other_us && ahead_of_other <= jump_threshold_us) return accept(t);
  }

  // Disagrees with both. Damaged, unless the stream's next packet follows it.
  const AVPacket* next = next_of(stream, 0);
  const auto next_raw = next ? raw_us(stream, next) : std::nullopt;
  if (!next_raw || !continues(*raw, *next_raw)) return accept(*stream.next_us);

  // A jump. In both streams when the other stream's packets ahead jump alike.
  bool both = other == nullptr || !other->next_us;
  // Alike: within the streams' interleaving of each other, and far from not
  // jumping at all.
  const std::int64_t alike =
      std::clamp<std::int64_t>(std::llabs(jump) / 2, step_back_us, jump_threshold_us);
  if (!both) {
    for (const packet_ptr& later : ahead_) {
      if (later->stream_index != other->index) continue;
      const auto other_raw = raw_us(*other, later.get());
      if (other_raw &&
          std::llabs(*other_raw + other->offset_us - *other->next_us - jump) <= alike) {
        both = true;
        break;
      }
    }
  }
  if (!both) {
    // This stream's clock alone moved: it goes on after its predecessor.
    stream.offset_us -= jump;
    return accept(*stream.next_us);
  }
  if (jump > 0 && !declares_jumps_) {
    // A gap in the whole source, kept as it is.
    if (jump > max_gap_us) refuse_gap(jump, *stream.next_us);
    return accept(t);
  }
  // A reset, a splice, or a declared discontinuity: the timeline goes on
  // right after what came before.
  stream.offset_us -= jump;
  if (other != nullptr) other->offset_us -= jump;
  return accept(*stream.next_us);
}

}  // namespace corvane
