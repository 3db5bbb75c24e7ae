#include "ladder/hls_encoder.h"

#include <exception>
#include <stdexcept>

#include "ffmpeg/error.h"
#include "ffmpeg/log.h"
#include "ladder/ladder_run.h"
#include "ladder/master_playlist.h"
#include "ladder/measure.h"
#include "ladder/plan.h"
#include "ladder/preflight.h"
#include "product/output_layout.h"
#include "product/video_codec.h"
#include "rendition/output_files.h"
#include "rendition/transcode_rendition.h"
#include "rendition/video_path.h"
#include "source/picture_grid.h"
#include "source/source_stage.h"

namespace corvane {
namespace {

// The entry of a completed rendition, with what its worker found and what its
// files measure. Throws when they cannot be measured.
rendition_entry measured_entry(rendition_entry entry, const std::string& playlist,
                               const rendition_result& result, double frame_rate) {
  const bit_rates rates = measure_rendition(playlist);
  entry.peak_bit_rate = rates.peak;
  entry.average_bit_rate = rates.average;
  entry.codecs = result.codecs;
  entry.frame_rate = frame_rate;
  return entry;
}

void rethrow_source_failure(const source_stage& source) {
  if (!source.failure) return;
  try {
    std::rethrow_exception(source.failure);
  } catch (const source_read_stopped&) {
    // Stopped because every rendition had ended: their reasons say why.
  }
}

}  // namespace

void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key,
                 const std::function<void()>& poll) {
  capture_ffmpeg_log();
  take_ffmpeg_log();  // earlier calls' leftovers on this thread are not this call's

  // One stop for the whole call: a signal, or every rendition gone, ends the
  // source's blocking reads too.
  std::stop_source stop;
  source_stage source = open_source_polled(input, poll, stop);
  require_output_directory(output);
  if (!key.empty()) require_key_info_file(key);
  // Sized from the picture as shown: turned, and at the source's display aspect.
  const std::vector<rendition_entry> plan = plan_ladder(
      resolution, std::move(bitrate), source.display_aspect.num, source.display_aspect.den);
  if (plan.empty()) {
    std::string known;
    for (const std::string& name : default_resolution())
      known += (known.empty() ? "" : ", ") + name;
    throw std::invalid_argument("no rendition to make: resolution names none of " + known);
  }
  std::vector<std::string> names;
  for (const auto& entry : plan) names.push_back(entry.name);
  // One codec and one layout for the whole ladder: what every rendition makes.
  const video_codec& codec = h264;
  const output_layout& layout = mpegts_layout;
  require_master_apart(output, names, layout);
  const AVCodec* encoder = require_video_encoder(codec);
  std::vector<output_files> files(plan.size());
  std::vector<rendition_job> jobs;
  for (const auto& entry : plan) {
    rendition_job job;
    job.codec = &codec;
    job.encoder = encoder;
    job.layout = &layout;
    job.files = &files[jobs.size()];
    job.playlist_path = media_playlist_path(output, entry.name, layout);
    // Refuses, before any work, an output path the muxer would misread as a pattern.
    segment_template(layout, playlist_stem(job.playlist_path));
    job.width = entry.width;
    job.height = entry.height;
    job.bitrate = entry.bitrate;
    job.signal.colour = source.colour;
    job.signal.sample_aspect_ratio =
        AVRational{entry.sample_aspect_ratio.num, entry.sample_aspect_ratio.den};
    job.key_info_file = key;
    job.audio_parameters = source.audio_parameters.get();
    job.audio_time_base = source.audio.encoder->time_base;
    jobs.push_back(std::move(job));
  }

  std::vector<rendition_outcome> outcomes;
  try {
    ladder_run run(source, jobs, stop);
    run.start(plan);
    outcomes = run.wait(poll);
  } catch (...) {
    // Stopped (`poll` threw): every thread has ended. A half-made ladder must
    // not pass for a ladder, so what the renditions wrote goes.
    for (const output_files& written : files) remove_written_files(written);
    throw;
  }

  // A source that broke off fails the call with its own reason and type
  // (a timeout, a lost connection, bad data), not as the renditions it failed.
  rethrow_source_failure(source);

  const double frame_rate = picture_rate(source.pictures, source.first_pts, source.last_pts);
  std::vector<rendition_entry> completed;
  std::string failures;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    std::string reason = outcomes[i].reason;
    if (outcomes[i].completed) {
      try {
        completed.push_back(
            measured_entry(plan[i], jobs[i].playlist_path, outcomes[i].result, frame_rate));
        continue;
      } catch (const std::exception& unmeasured) {
        reason = std::string("measure bit rates: ") + unmeasured.what();
      }
    }
    failures += (failures.empty() ? "" : "; ") + plan[i].name + ": " + reason;
  }
  if (!completed.empty()) {
    try {
      write_master_playlist(output, completed, layout);
    } catch (const av_error& unwritten) {
      if (failures.empty()) throw;
      failures += std::string("; master playlist: ") + unwritten.what();
    }
  }
  if (!failures.empty()) {
    throw ladder_error(std::to_string(plan.size() - completed.size()) + " of " +
                       std::to_string(plan.size()) + " renditions failed: " + failures);
  }
}

}  // namespace corvane
