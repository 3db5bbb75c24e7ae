#include "feed/rendition_feed.h"

#include <algorithm>
#include <utility>

namespace corvane {

namespace {

bool is_picture(const feed_item& item) { return std::holds_alternative<frame_ptr>(item); }

}  // namespace

rendition_feed::rendition_feed(feed_capacity capacity, std::stop_token stop)
    : capacity_{std::max<std::size_t>(capacity.pictures, 1),
                std::max<std::size_t>(capacity.items, 1)},
      stop_(std::move(stop)) {}

bool rendition_feed::has_room(const feed_item& item) const {
  return items_.size() < capacity_.items && (!is_picture(item) || pictures_ < capacity_.pictures);
}

bool rendition_feed::push(feed_item item) {
  std::unique_lock lock(mutex_);
  const bool room = changed_.wait(lock, stop_, [&] { return abandoned_ || has_room(item); });
  if (!room || abandoned_) return false;
  pictures_ += is_picture(item);
  items_.push_back(std::move(item));
  changed_.notify_all();
  return true;
}

void rendition_feed::finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void rendition_feed::fail(std::string reason) {
  std::deque<feed_item> dropped;
  std::lock_guard lock(mutex_);
  failure_ = std::move(reason);
  dropped.swap(items_);
  pictures_ = 0;
  changed_.notify_all();
}

std::optional<feed_item> rendition_feed::pop() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, stop_, [&] { return failure_ || finished_ || !items_.empty(); });
  if (stop_.stop_requested()) throw feed_stopped();
  if (failure_) throw source_failure(*failure_);
  if (items_.empty()) return std::nullopt;
  feed_item item = std::move(items_.front());
  items_.pop_front();
  pictures_ -= is_picture(item);
  changed_.notify_all();
  return item;
}

void rendition_feed::abandon() {
  std::deque<feed_item> dropped;
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    dropped.swap(items_);
    pictures_ = 0;
    changed_.notify_all();
  }
  // The references are released outside the lock.
}

}  // namespace corvane
