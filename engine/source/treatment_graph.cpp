#include "source/treatment_graph.h"

#include <cstdio>
#include <utility>

#include "ffmpeg/error.h"
#include "product/settings.h"

namespace corvane {
namespace {

bool marked_interlaced(const AVFrame* picture) {
#ifdef AV_FRAME_FLAG_INTERLACED
  return (picture->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
  return picture->interlaced_frame != 0;
#endif
}

}  // namespace

treatment_graph::treatment_graph(picture_treatment treatment) : treatment_(std::move(treatment)) {}

void treatment_graph::prepare(int width, int height, int format, AVRational sample_aspect_ratio) {
  graph_.reset();
  ends_ = {};
  shape_.reset();
  if (width <= 0 || height <= 0 || format < 0) return;
  shape_ = picture_shape{width, height, format};
  const std::string chain = treatment_chain(treatment_, width, height);
  if (chain.empty()) return;
  if (sample_aspect_ratio.num <= 0 || sample_aspect_ratio.den <= 0) sample_aspect_ratio = {1, 1};
  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                width, height, format, video_time_base.num, video_time_base.den,
                sample_aspect_ratio.num, sample_aspect_ratio.den);
  graph_ = alloc_filter_graph();
  ends_ = build_filter_chain(graph_.get(), "buffer", args, "buffersink", chain,
                             "video: treat pictures");
}

void treatment_graph::treat(AVFrame* picture, const picture_sink& take) {
  // A source that did not say it is interlaced, and sends an interlaced
  // picture: from now on each picture marked so is deinterlaced.
  if (treatment_.deinterlace == deinterlacing::none && marked_interlaced(picture)) {
    drain(take);
    treatment_.deinterlace = deinterlacing::marked_pictures;
  }
  if (!treatment_.needed()) {
    take(picture);
    return;
  }
  const picture_shape shape{picture->width, picture->height, picture->format};
  if (shape_ != shape) {
    drain(take);
    prepare(shape.width, shape.height, shape.format, picture->sample_aspect_ratio);
  }
  if (!graph_) {
    take(picture);
    return;
  }
  // The source filter takes the picture's data over and leaves it blank.
  check(av_buffersrc_add_frame_flags(ends_.source, picture, 0), "video: feed picture treatment");
  pull(take);
}

void treatment_graph::drain(const picture_sink& take) {
  if (graph_) {
    check(av_buffersrc_add_frame_flags(ends_.source, nullptr, 0), "video: end picture treatment");
    pull(take);
  }
  graph_.reset();
  ends_ = {};
  shape_.reset();
}

AVPixelFormat treatment_graph::output_format() const {
  return graph_ ? static_cast<AVPixelFormat>(av_buffersink_get_format(ends_.sink))
                : AV_PIX_FMT_NONE;
}

void treatment_graph::pull(const picture_sink& take) {
  const AVRational time_base = av_buffersink_get_time_base(ends_.sink);
  for (;;) {
    const int ret = av_buffersink_get_frame(ends_.sink, treated_.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, "video: take treated picture");
    // The deinterlacer counts in half the time base it is given.
    if (treated_->pts != AV_NOPTS_VALUE)
      treated_->pts = av_rescale_q(treated_->pts, time_base, video_time_base);
    take(treated_.get());
    av_frame_unref(treated_.get());
  }
}

}  // namespace corvane
