#include "util/fair_pool.h"

#include "util/thread_name.h"

#include <utility>

namespace mq::util {

fair_pool_t::fair_pool_t(std::size_t threads, const std::string& name) {
  for (std::size_t i = 0; i < threads; ++i)
    threads_.emplace_back([this, i, name] {
      name_this_thread(name);
      loop(i);
    });
}

fair_pool_t::~fair_pool_t() {
  stop();
  for (auto& thread : threads_) thread.join();
}

void fair_pool_t::post(const void* owner, job_t job) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return;
  auto& queue = waiting_[owner];
  queue.push_back(std::move(job));
  if (queue.size() == 1 && !running_.count(owner)) {
    turns_.push_back(owner);
    wakeup_.notify_one();
  }
}

void fair_pool_t::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  waiting_.clear();
  turns_.clear();
  wakeup_.notify_all();
}

void fair_pool_t::loop(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wakeup_.wait(lock, [this] { return stopped_ || !turns_.empty(); });
    if (stopped_) return;
    const void* owner = turns_.front();
    turns_.pop_front();
    auto queue = waiting_.find(owner);
    job_t job = std::move(queue->second.front());
    queue->second.pop_front();
    if (queue->second.empty()) waiting_.erase(queue);
    running_[owner] = true;
    lock.unlock();
    job(index);
    job = nullptr;
    lock.lock();
    running_.erase(owner);
    // Behind the owners that waited meanwhile.
    if (waiting_.count(owner)) {
      turns_.push_back(owner);
      wakeup_.notify_one();
    }
  }
}

}  // namespace mq::util
