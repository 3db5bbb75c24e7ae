#include "pipeline/rendition_feed.h"

#include <utility>

namespace corvane {

rendition_feed::rendition_feed(std::size_t capacity, std::stop_token stop)
    : capacity_(capacity > 0 ? capacity : 1), stop_(std::move(stop)) {}

bool rendition_feed::push(feed_item item) {
  std::unique_lock lock(mutex_);
  const bool room =
      changed_.wait(lock, stop_, [&] { return abandoned_ || items_.size() < capacity_; });
  if (!room || abandoned_) return false;
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
  changed_.notify_all();
  return item;
}

void rendition_feed::abandon() {
  std::deque<feed_item> dropped;
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    dropped.swap(items_);
    changed_.notify_all();
  }
  // The references are released outside the lock.
}

}  // namespace corvane
