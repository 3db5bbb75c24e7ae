// What passes from the source stage to one rendition worker: the source's kept
// pictures and its encoded sound, in the order the source stage made them,
// through a bounded queue. Nothing else crosses between the threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <variant>

#include "ffmpeg/handles.h"

namespace corvane {

// One item of a feed: a picture or an audio packet, each a reference of its
// own to data the source stage made once for every rendition. A picture is
// stamped in video_time_base; a packet is AAC in the audio encoder's time base.
// Whoever holds an item only reads the data it refers to.
using feed_item = std::variant<frame_ptr, packet_ptr>;

// The source broke off, or could not be used: every rendition fails with the
// source stage's reason.
class source_failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The call was asked to stop.
class feed_stopped : public std::runtime_error {
 public:
  feed_stopped() : std::runtime_error("stopped") {}
};

// How much a feed holds at most: pictures, which are large (12 MB for one
// 2160p picture), and items of either kind, which bounds the small audio
// packets of a stretch of sound without pictures.
struct feed_capacity {
  std::size_t pictures = 1;
  std::size_t items = 1;
};

// A bounded queue from the source stage (one producer) to one rendition (one
// consumer). A full feed holds the source stage back, so the slowest rendition
// paces the source and memory stays flat whatever the source's length.
class rendition_feed {
 public:
  rendition_feed(feed_capacity capacity, std::stop_token stop);
  rendition_feed(const rendition_feed&) = delete;
  rendition_feed& operator=(const rendition_feed&) = delete;

  // Source side. Waits while the feed is full. False, with the item dropped,
  // once the rendition has stopped taking items or the call is stopping.
  bool push(feed_item item);
  // The source has ended: the rendition takes what is queued, then ends.
  void finish();
  // The source broke: the rendition fails with `reason` at its next take.
  void fail(std::string reason);

  // Rendition side. Waits while the feed is empty. Nothing once the source has
  // finished and every item is taken; throws source_failure when the source
  // failed, feed_stopped when the call is stopping.
  std::optional<feed_item> pop();
  // The rendition has stopped: what is queued is dropped, and later pushes
  // are refused, so a failed rendition never holds the source back.
  void abandon();

 private:
  bool has_room(const feed_item& item) const;

  const feed_capacity capacity_;
  const std::stop_token stop_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<feed_item> items_;
  std::size_t pictures_ = 0;  // of items_
  bool finished_ = false;
  bool abandoned_ = false;
  std::optional<std::string> failure_;
};

}  // namespace corvane
