#include "ladder/ladder_run.h"

#include <pthread.h>

#include <chrono>
#include <exception>
#include <utility>

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

// Names the calling thread, so that top, perf and gdb tell the stages apart; the
// encoder's and decoder's own threads, started from it, inherit the name.
void name_this_thread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.c_str());
}

std::string thread_name(const std::string& what) {
  return ("corvane " + what).substr(0, 15);  // the kernel keeps 15 characters
}

}  // namespace

ladder_run::ladder_run(source_stage& source, const std::vector<rendition_job>& jobs)
    : source_(source), jobs_(jobs), outcomes_(jobs.size()) {
  for (std::size_t i = 0; i < jobs.size(); ++i)
    feeds_.push_back(std::make_unique<rendition_feed>(rendition_feed_capacity, stop_.get_token()));
}

ladder_run::~ladder_run() {
  stop_.request_stop();
  join();
}

template <typename Body>
void ladder_run::launch(const std::string& name, Body body) {
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

void ladder_run::start(const std::vector<rendition_entry>& plan) {
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

std::vector<rendition_outcome> ladder_run::wait(const std::function<void()>& poll) {
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

void ladder_run::join() {
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
}

}  // namespace corvane
