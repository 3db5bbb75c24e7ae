#include "ladder/planner.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "ladder/master_playlist.h"
#include "ladder/measure.h"
#include "ladder/plan.h"
#include "ladder/preflight.h"
#include "pipeline/rendition_feed.h"
#include "source/source_stage.h"
#include "transcoder/av_error.h"
#include "transcoder/ffmpeg_log.h"
#include "transcoder/hls_output.h"
#include "transcoder/output_files.h"
#include "transcoder/transcode_rendition.h"
#include "transcoder/video_path.h"

namespace corvane {
namespace {

// What may queue between the source stage and each rendition. A few pictures
// let a rendition keep busy while another one takes its turn on the cores;
// each is shared by every rendition, so they cost once, not once a rendition.
// Every picture more costs 12 MB at 2160p. The audio packets between them are
// small; their bound only matters over a long stretch of sound alone.
constexpr feed_capacity rendition_feed_capacity{.pictures = 4, .items = 64};

// How often the caller's `poll` runs while the ladder is made.
constexpr std::chrono::milliseconds poll_interval{100};

// How one rendition ended. Each worker writes only its own; the planner reads
// them after the joins.
struct rendition_outcome {
  bool completed = false;
  std::string reason;
  rendition_result result;
};

// Names the calling thread, so that top, perf and gdb tell the stages apart; the
// encoder's and decoder's own threads, started from it, inherit the name.
void name_this_thread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.c_str());
}

std::string thread_name(const std::string& what) {
  return ("corvane " + what).substr(0, 15);  // the kernel keeps 15 characters
}

// The threads of one call: one worker per rendition and the source stage that
// feeds them. Its end joins them all, after asking them to stop, so no thread
// outlives the call, however the call ends.
class ladder_run {
 public:
  ladder_run(source_stage& source, const std::vector<rendition_job>& jobs)
      : source_(source), jobs_(jobs), outcomes_(jobs.size()) {
    for (std::size_t i = 0; i < jobs.size(); ++i)
      feeds_.push_back(
          std::make_unique<rendition_feed>(rendition_feed_capacity, stop_.get_token()));
  }
  ladder_run(const ladder_run&) = delete;
  ladder_run& operator=(const ladder_run&) = delete;
  ~ladder_run() {
    stop_.request_stop();
    join();
  }

  // Starts every rendition worker, then the source stage.
  void start(const std::vector<rendition_entry>& plan) {
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
      launch(thread_name(plan[i].name), [this, i] {
        rendition_outcome& outcome = outcomes_[i];
        try {
          outcome.result = transcode_rendition(jobs_[i], *feeds_[i]);
          outcome.completed = true;
        } catch (const std::exception& failure) {
          outcome.reason = failure.what();
        } catch (...) {
          outcome.reason = "unknown failure";
        }
      });
    }
    std::vector<rendition_feed*> feeds;
    for (const auto& feed : feeds_) feeds.push_back(feed.get());
    launch(thread_name("source"), [this, feeds = std::move(feeds)] {
      run_source_stage(source_, feeds, stop_.get_token());
    });
  }

  // Waits until every thread has ended, calling `poll` about every
  // poll_interval meanwhile. What `poll` throws stops the threads and, once
  // they have all ended, reaches the caller.
  std::vector<rendition_outcome> wait(const std::function<void()>& poll) {
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (ended_.wait_for(lock, poll_interval, [&] { return running_ == 0; })) break;
      }
      if (poll) poll();
    }
    join();
    return outcomes_;
  }

 private:
  template <typename Body>
  void launch(const std::string& name, Body body) {
    {
      std::lock_guard lock(mutex_);
      ++running_;
    }
    try {
      threads_.emplace_back([this, name, body = std::move(body)]() mutable noexcept {
        name_this_thread(name);
        body();
        std::lock_guard lock(mutex_);
        --running_;
        ended_.notify_all();
      });
    } catch (...) {
      std::lock_guard lock(mutex_);
      --running_;
      throw;
    }
  }

  void join() {
    for (auto& thread : threads_)
      if (thread.joinable()) thread.join();
  }

  source_stage& source_;
  const std::vector<rendition_job>& jobs_;
  std::vector<rendition_outcome> outcomes_;
  std::stop_source stop_;
  std::vector<std::unique_ptr<rendition_feed>> feeds_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::size_t running_ = 0;
  std::vector<std::thread> threads_;
};

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

}  // namespace

void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key,
                 const std::function<void()>& poll) {
  capture_ffmpeg_log();
  take_ffmpeg_log();  // earlier calls' leftovers on this thread are not this call's

  source_stage source = open_source_stage(input);
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
  require_master_apart(output, names);
  const AVCodec* h264 = require_video_encoder(h264_encoder_name);
  std::vector<output_files> files(plan.size());
  std::vector<rendition_job> jobs;
  for (const auto& entry : plan) {
    rendition_job job;
    job.h264 = h264;
    job.files = &files[jobs.size()];
    job.playlist_path = media_playlist_path(output, entry.name);
    // Refuses, before any work, an output path the muxer would misread as a pattern.
    segment_template(playlist_stem(job.playlist_path));
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
    ladder_run run(source, jobs);
    run.start(plan);
    outcomes = run.wait(poll);
  } catch (...) {
    // Stopped (`poll` threw): every thread has ended. A half-made ladder must
    // not pass for a ladder, so what the renditions wrote goes.
    for (const output_files& written : files) remove_written_files(written);
    throw;
  }

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
      write_master_playlist(output, completed);
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
