#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace mq::util {

// A few threads for the long jobs of many owners (connections): an owner
// has at most one job running, its others wait behind it, and owners with
// jobs waiting take turns; so one owner's flood holds at most one thread
// while the others' jobs run. A job gets the index of its thread, for state
// kept per thread.
class fair_pool_t {
 public:
  using job_t = std::function<void(std::size_t thread)>;

  // The threads are named `name` (see thread_name.h).
  fair_pool_t(std::size_t threads, const std::string& name);
  // stop(), then waits for the running jobs.
  ~fair_pool_t();
  fair_pool_t(const fair_pool_t&) = delete;
  fair_pool_t& operator=(const fair_pool_t&) = delete;

  void post(const void* owner, job_t job);
  // Jobs not started yet never run, nor do later ones.
  void stop();

  std::size_t threads() const { return threads_.size(); }

 private:
  void loop(std::size_t index);

  std::mutex mutex_;
  std::condition_variable wakeup_;
  // Per owner, its waiting jobs; `turns` holds each owner with jobs
  // waiting and none running, in the order they became ready.
  std::map<const void*, std::deque<job_t>> waiting_;
  std::map<const void*, bool> running_;
  std::deque<const void*> turns_;
  bool stopped_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace mq::util
