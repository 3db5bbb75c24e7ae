// Running one call's threads: a worker per rendition and the source stage that
// feeds them, joined before the call goes on, however it ends.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "feed/rendition_feed.h"
#include "ladder/plan.h"
#include "rendition/transcode_rendition.h"
#include "source/source_stage.h"

namespace corvane {

// How one rendition ended. Each worker writes only its own; the planner reads
// them after the joins.
struct rendition_outcome {
  bool completed = false;
  std::string reason;
  rendition_result result;
};

// Opens the source on a thread of its own while the calling thread calls
// `poll` about every 100 ms, so that a signal reaches the caller even while
// FFmpeg waits on a network source. What `poll` throws requests `stop`, which
// ends the opening's blocking reads, and reaches the caller once the thread
// has ended; otherwise the opened stage is returned, or what the opening threw
// is rethrown.
source_stage open_source_polled(const std::string& input, const std::function<void()>& poll,
                                std::stop_source& stop);

// The threads of one call. Its end joins them all, after asking them to stop,
// so no thread outlives the call. Once every rendition has ended, the source
// stage is asked to stop too: nothing takes what it reads.
class ladder_run {
 public:
  ladder_run(source_stage& source, const std::vector<rendition_job>& jobs, std::stop_source& stop);
  ladder_run(const ladder_run&) = delete;
  ladder_run& operator=(const ladder_run&) = delete;
  ~ladder_run();

  // Starts every rendition worker, named after its entry of `plan`, then the
  // source stage.
  void start(const std::vector<rendition_entry>& plan);

  // Waits until every thread has ended, calling `poll` about every 100 ms
  // meanwhile. What `poll` throws stops the threads and, once they have all
  // ended, reaches the caller.
  std::vector<rendition_outcome> wait(const std::function<void()>& poll);

 private:
  template <typename Body>
  void launch(const std::string& name, Body body);
  void join();

  source_stage& source_;
  const std::vector<rendition_job>& jobs_;
  std::vector<rendition_outcome> outcomes_;
  std::stop_source& stop_;
  std::size_t renditions_running_ = 0;  // under mutex_
  std::vector<std::unique_ptr<rendition_feed>> feeds_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::size_t running_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace corvane
