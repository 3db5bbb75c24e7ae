#include "feed/rendition_feed.h"

#include <gtest/gtest.h>

#include <thread>

namespace corvane {
namespace {

// A packet whose position tells the items apart.
feed_item numbered(int n) {
  packet_ptr packet = alloc_packet();
  packet->pos = n;
  return packet;
}

int number_of(const std::optional<feed_item>& item) {
  return static_cast<int>(std::get<packet_ptr>(*item)->pos);
}

TEST(RenditionFeed, ItemsComeOutInOrderThenTheEnd) {
  std::stop_source stop;
  rendition_feed feed({.pictures = 2, .items = 2}, stop.get_token());
  // The producer waits for room: three items through a feed of two.
  std::thread source([&] {
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(feed.push(numbered(n)));
    feed.finish();
  });
  for (int n = 0; n < 3; ++n) EXPECT_EQ(number_of(feed.pop()), n);
  EXPECT_FALSE(feed.pop().has_value());
  source.join();
}

TEST(RenditionFeed, AnAbandonedFeedReleasesAWaitingSource) {
  std::stop_source stop;
  rendition_feed feed({.pictures = 1, .items = 1}, stop.get_token());
  ASSERT_TRUE(feed.push(numbered(0)));
  std::thread source([&] { EXPECT_FALSE(feed.push(numbered(1))); });
  feed.abandon();
  source.join();
  EXPECT_FALSE(feed.push(numbered(2)));
}

TEST(RenditionFeed, ASourceFailureReachesTheRenditionBeforeQueuedItems) {
  std::stop_source stop;
  rendition_feed feed({.pictures = 4, .items = 4}, stop.get_token());
  ASSERT_TRUE(feed.push(numbered(0)));
  feed.fail("read source: Input/output error");
  try {
    feed.pop();
    FAIL() << "no failure";
  } catch (const source_failure& e) {
    EXPECT_STREQ(e.what(), "read source: Input/output error");
  }
}

TEST(RenditionFeed, StoppingReleasesBothSides) {
  std::stop_source stop;
  rendition_feed full({.pictures = 1, .items = 1}, stop.get_token());
  rendition_feed empty({.pictures = 1, .items = 1}, stop.get_token());
  ASSERT_TRUE(full.push(numbered(0)));
  std::thread source([&] { EXPECT_FALSE(full.push(numbered(1))); });
  std::thread rendition([&] { EXPECT_THROW(empty.pop(), feed_stopped); });
  stop.request_stop();
  source.join();
  rendition.join();
}

}  // namespace
}  // namespace corvane
