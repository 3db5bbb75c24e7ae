// The filter graph that does what the source's pictures need (see
// picture_treatment.h), in the source stage. A source that needs nothing has no
// graph: its pictures go to the renditions as the decoder made them.
#pragma once

#include <functional>
#include <optional>

#include "ffmpeg/handles.h"
#include "source/filter_graph.h"
#include "source/picture_treatment.h"

namespace corvane {

// The filter graph that treats the source's pictures. It is set up for the
// pictures' size and format, and set up again (after its last pictures are
// taken out) when a picture comes with another size or format, or when the
// first picture marked interlaced arrives in a source that did not say so.
class treatment_graph {
 public:
  using picture_sink = std::function<void(AVFrame*)>;

  explicit treatment_graph(picture_treatment treatment = {});

  // Sets the graph up for pictures of `width` x `height` in `format` (an
  // AVPixelFormat), when the treatment needs one and they are known. Throws
  // av_error when the graph cannot be made.
  void prepare(int width, int height, int format, AVRational sample_aspect_ratio);

  // Treats `picture`, stamped in video_time_base, and hands every picture the
  // graph has ready to `take`, stamped in video_time_base; without a graph,
  // hands `picture` itself on. Takes the picture's data over. Throws av_error.
  void treat(AVFrame* picture, const picture_sink& take);

  // The end of the source: hands the pictures the graph still holds to `take`.
  void drain(const picture_sink& take);

  const picture_treatment& treatment() const { return treatment_; }
  // The format of the treated pictures, or AV_PIX_FMT_NONE without a graph.
  AVPixelFormat output_format() const;

 private:
  struct picture_shape {
    int width = 0;
    int height = 0;
    int format = -1;
    bool operator==(const picture_shape&) const = default;
  };

  void pull(const picture_sink& take);

  picture_treatment treatment_;
  filter_graph_ptr graph_;
  filter_ends ends_;                    // owned by graph_
  std::optional<picture_shape> shape_;  // of the pictures the graph was set up for
  frame_ptr treated_ = alloc_frame();
};

}  // namespace corvane
