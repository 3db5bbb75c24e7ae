#include "ladder/ladder_run.h"

#include <pthread.h>

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "product/settings.h"

namespace corvane {
namespace {

// Names the calling thread, so that top, perf and gdb tell the stages apart; the
// encoder's and decoder's own threads, started from it, inherit the name.
void name_this_thread(const std::string& name) { pthread_setname_np(pthread_self(), name.c_str()); }

std::string thread_name(const std::string& what) {
  return ("corvane " + what).substr(0, 15);  // the kernel keeps 15 characters
}

// Waits on `ended` until `done()` holds, calling `poll` about every
// poll_interval meanwhile; what `poll` throws ends the wait.
template <typename Done>
void wait_polling(std::mutex& mutex, std::condition_variable& ended, Done done,
                  const std::function<void()>& poll) {
  for (;;) {
    {
      std::unique_lock lock(mutex);
      if (ended.wait_for(lock, poll_interval, done)) return;
    }
    if (poll) poll();
  }
}

}  // namespace

source_stage open_source_polled(const std::string& input, const std::function<void()>& poll,
                                std::stop_source& stop) {
  std::optional<source_stage> opened;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread opening([&] {
    name_this_thread(thread_name("open"));
    try {
      source_stage stage = open_source_stage(input, stop.get_token());
      std::lock_guard lock(mutex);
      opened.emplace(std::move(stage));
    } catch (...) {
      std::lock_guard lock(mutex);
      failure = std::current_exception();
    }
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_all();
  });
  // A stop ends the opening's blocking reads; it is joined, then the stop's
  // own reason goes on.
  std::exception_ptr stopped;
  try {
    wait_polling(mutex, ended, [&] { return done; }, poll);
  } catch (...) {
    stopped = std::current_exception();
    stop.request_stop();
  }
  opening.join();
  if (stopped) std::rethrow_exception(stopped);
  if (failure) std::rethrow_exception(failure);
  return std::move(*opened);
}

ladder_run::ladder_run(source_stage& source, const std::vector<rendition_job>& jobs,
                       std::stop_source& stop)
    : source_(source), jobs_(jobs), outcomes_(jobs.size()), stop_(stop) {
  for (std::size_t i = 0; i < jobs.size(); ++i)
    feeds_.push_back(std::make_unique<rendition_feed>(
        feed_capacity{.pictures = feed_pictures, .items = feed_items}, stop_.get_token()));
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
  renditions_running_ = jobs_.size();
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
      std::lock_guard lock(mutex_);
      if (--renditions_running_ == 0) stop_.request_stop();
    });
  }
  std::vector<rendition_feed*> feeds;
  for (const auto& feed : feeds_) feeds.push_back(feed.get());
  launch(thread_name("source"),
         [this, feeds = std::move(feeds)] { run_source_stage(source_, feeds, stop_.get_token()); });
}

std::vector<rendition_outcome> ladder_run::wait(const std::function<void()>& poll) {
  wait_polling(mutex_, ended_, [&] { return running_ == 0; }, poll);
  join();
  return outcomes_;
}

void ladder_run::join() {
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
}

}  // namespace corvane
