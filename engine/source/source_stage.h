// The source stage: the one place that reads and decodes the source. It hands
// each kept picture and each encoded audio packet to every rendition's feed.
#pragma once

#include <exception>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "feed/rendition_feed.h"
#include "ffmpeg/handles.h"
#include "source/audio_chain.h"
#include "source/source_clock.h"
#include "source/source_input.h"
#include "source/timeline_origin.h"
#include "source/treatment_graph.h"

namespace corvane {

struct source_stage {
  source_input input;
  // Reads the source's packets onto one timeline; refers to `input`'s format.
  std::unique_ptr<source_clock> clock;
  timeline_origin origin;
  // The sound every rendition gets: the source's, or silence as long as its
  // video when it has no decodable audio stream (`silent`).
  audio_chain audio;
  bool silent = false;
  // What the source's pictures need before the renditions scale them, and the
  // filter graph that does it, used by the source stage alone once it runs.
  treatment_graph treatment;
  // What the renditions' pictures are: their colour description, and the
  // aspect ratio they are shown at (turned, and counting the source's sample
  // aspect ratio). Set up with the stage; read by the planner.
  colour_description colour;
  AVRational display_aspect{0, 1};
  // The audio stream every rendition writes, taken from the AAC encoder at
  // set-up: renditions read it while the source stage uses the encoder.
  codec_parameters_ptr audio_parameters;
  // The pictures handed to the renditions: how many, and the first and last
  // timestamps. Written by the source stage; read once it has ended.
  std::int64_t pictures = 0;
  std::int64_t first_pts = AV_NOPTS_VALUE;
  std::int64_t last_pts = AV_NOPTS_VALUE;
  // Why the source stage failed, with its own type, or null; written by the
  // source stage, read once it has ended.
  std::exception_ptr failure;
};

// Opens the source and sets the whole stage up, before any rendition starts.
// Throws av_error naming the input when the source, its streams, their
// decoders or the audio chain cannot be set up, std::invalid_argument when
// its pictures are too large. Every blocking read ends soon after `stop` is
// requested (with AVERROR_EXIT), and a network read that waits longer than
// the read timeout fails with ETIMEDOUT.
source_stage open_source_stage(const std::string& input, std::stop_token stop);

// Reads the source to its end and feeds every rendition: each kept picture,
// treated and stamped in video_time_base, and each AAC packet, in the order
// they are made.
// At the end every feed is finished; when the source breaks off, or holds no
// decodable picture or sound, every feed fails with the reason instead, and
// `stage.failure` keeps it. Returns early when `stop` is requested or no
// rendition takes items any more.
void run_source_stage(source_stage& stage, const std::vector<rendition_feed*>& feeds,
                      std::stop_token stop) noexcept;

}  // namespace corvane
