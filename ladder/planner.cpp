#include "ladder/planner.h"

#include <pthread.h>

#include <thread>

#include "ladder/master_playlist.h"
#include "ladder/measure.h"
#include "ladder/plan.h"
#include "ladder/probe.h"
#include "transcoder/av_error.h"
#include "transcoder/ffmpeg_log.h"
#include "transcoder/hls_output.h"
#include "transcoder/transcode_rendition.h"

namespace corvane {
namespace {

// How one worker ended. Each worker writes only its own; the planner reads
// them after the joins.
struct rendition_outcome {
  bool completed = false;
  std::string reason;
  rendition_result result;
};

// Names the calling thread after its rendition, so that top, perf and gdb tell
// the workers apart; the encoder's own threads, started from it, inherit the name.
void name_worker_thread(const std::string& rendition) {
  const std::string name = ("corvane " + rendition).substr(0, 15);  // the kernel keeps 15
  pthread_setname_np(pthread_self(), name.c_str());
}

// Joins every started worker, in launch order, even when planning fails midway,
// so no worker outlives the call.
class worker_threads {
 public:
  worker_threads() = default;
  worker_threads(const worker_threads&) = delete;
  worker_threads& operator=(const worker_threads&) = delete;
  ~worker_threads() { join_all(); }

  template <typename Body>
  void start(Body&& body) {
    threads_.emplace_back(std::forward<Body>(body));
  }
  void join_all() {
    for (auto& thread : threads_)
      if (thread.joinable()) thread.join();
  }

 private:
  std::vector<std::thread> threads_;
};

std::vector<rendition_outcome> run_workers(const std::string& input,
                                           const std::vector<rendition_entry>& plan,
                                           const std::vector<std::string>& playlists,
                                           const std::string& key) {
  std::vector<rendition_outcome> outcomes(plan.size());
  worker_threads workers;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    workers.start([&outcome = outcomes[i], input, path = playlists[i],
                   width = plan[i].width, height = plan[i].height,
                   bitrate = plan[i].bitrate, key, name = plan[i].name]() mutable noexcept {
      try {
        name_worker_thread(name);
        outcome.result = transcode_rendition(std::move(input), std::move(path), width, height,
                                             bitrate, std::move(key));
        outcome.completed = true;
      } catch (const std::exception& failure) {
        outcome.reason = failure.what();
      } catch (...) {
        outcome.reason = "unknown failure";
      }
    });
  }
  workers.join_all();
  return outcomes;
}

// The entry of a completed rendition, with what its worker found and what its
// files measure. Throws when they cannot be measured.
rendition_entry measured_entry(rendition_entry entry, const std::string& playlist,
                               const rendition_result& result) {
  const bit_rates rates = measure_rendition(playlist);
  entry.peak_bit_rate = rates.peak;
  entry.average_bit_rate = rates.average;
  entry.codecs = result.codecs;
  entry.frame_rate = result.frame_rate;
  return entry;
}

}  // namespace

void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key) {
  capture_ffmpeg_log();
  take_ffmpeg_log();  // earlier calls' leftovers on this thread are not this call's

  const source_size source = probe_source(input);
  require_output_directory(output);
  if (!key.empty()) require_key_info_file(key);
  const std::vector<rendition_entry> plan =
      plan_ladder(resolution, std::move(bitrate), source.width, source.height);
  if (plan.empty())
    throw std::invalid_argument(
        "no rendition to make: resolution names none of 1080p, 720p, 480p, 360p");
  std::vector<std::string> playlists;
  for (const auto& entry : plan) {
    playlists.push_back(media_playlist_path(output, entry.name));
    // Refuses, before any work, an output path the muxer would misread as a pattern.
    segment_template(playlist_stem(playlists.back()));
  }

  const std::vector<rendition_outcome> outcomes = run_workers(input, plan, playlists, key);

  std::vector<rendition_entry> completed;
  std::string failures;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    std::string reason = outcomes[i].reason;
    if (outcomes[i].completed) {
      try {
        completed.push_back(measured_entry(plan[i], playlists[i], outcomes[i].result));
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
