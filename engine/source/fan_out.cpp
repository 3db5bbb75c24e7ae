#include "source/fan_out.h"

#include <utility>

#include "ffmpeg/error.h"

namespace corvane {

fan_out::fan_out(const std::vector<rendition_feed*>& feeds)
    : feeds_(feeds), accepting_(feeds.size(), true) {}

bool fan_out::any_accepting() const {
  for (const bool accepting : accepting_)
    if (accepting) return true;
  return false;
}

template <typename Reference>
void fan_out::share(Reference reference) {
  for (std::size_t i = 0; i < feeds_.size(); ++i)
    if (accepting_[i]) accepting_[i] = feeds_[i]->push(reference());
}

void fan_out::picture(const AVFrame* picture) {
  share([picture] {
    frame_ptr shared = alloc_frame();
    check(av_frame_ref(shared.get(), picture), "video: share picture");
    return feed_item(std::move(shared));
  });
}

void fan_out::packet(const AVPacket* packet) {
  share([packet] {
    packet_ptr shared = alloc_packet();
    check(av_packet_ref(shared.get(), packet), "audio: share packet");
    return feed_item(std::move(shared));
  });
}

void fan_out::finish() {
  for (rendition_feed* feed : feeds_) feed->finish();
}

void fan_out::fail(const std::string& reason) {
  for (rendition_feed* feed : feeds_) feed->fail(reason);
}

}  // namespace corvane
