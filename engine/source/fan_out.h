// Hands the source stage's pictures and packets to every rendition's feed.
#pragma once

#include <string>
#include <vector>

#include "feed/rendition_feed.h"

namespace corvane {

// Gives every rendition still accepting items a reference of its own to each
// picture and packet. A rendition that has stopped is passed over from then on.
class fan_out {
 public:
  explicit fan_out(const std::vector<rendition_feed*>& feeds);

  // Whether any rendition still accepts items.
  bool any_accepting() const;

  // Each waits while a rendition's feed is full. Throws av_error when a
  // reference cannot be made.
  void picture(const AVFrame* picture);
  void packet(const AVPacket* packet);

  // The source has ended: every feed ends after what it holds.
  void finish();
  // The source broke: every rendition fails with `reason`.
  void fail(const std::string& reason);

 private:
  // Hands each rendition still accepting items a reference of its own, made by
  // `reference`.
  template <typename Reference>
  void share(Reference reference);

  const std::vector<rendition_feed*>& feeds_;
  std::vector<bool> accepting_;
};

}  // namespace corvane
