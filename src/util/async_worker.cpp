#include "util/async_worker.h"

#include "util/thread_name.h"

#include <cerrno>
#include <exception>
#include <memory>
#include <stdexcept>

#include <boost/thread/exceptions.hpp>

namespace mq::util {

async_worker_t::async_worker_t(boost::asio::io_context& io) : io_(io) {}

async_worker_t::~async_worker_t() {  // NOLINT(bugprone-exception-escape): as declared
  if (thread_.joinable()) {
    thread_.interrupt();
    if (boost::this_thread::get_id() == thread_.get_id()) {
      // A task destroying its own worker: the exception cannot leave a
      // destructor, so end the process with it as the current exception,
      // for the terminate handler to report.
      try {
        throw boost::thread_resource_error(EDEADLK, "boost thread: trying joining itself");
      } catch (...) {
        std::terminate();
      }
    }
    // The running task finishes; no further task starts.
    thread_.join();
  }
  std::deque<std::unique_ptr<task_t>> rest;
  {
    boost::mutex::scoped_lock lock(mutex_);
    rest.swap(queue_);
  }
  // Unrun tasks go in queue order; their callbacks are never called.
  while (!rest.empty()) rest.pop_front();
  thread_.detach();
}

void async_worker_t::stop() {
  std::deque<std::unique_ptr<task_t>> rest;
  {
    boost::mutex::scoped_lock lock(mutex_);
    failed_ = true;
    // The running task's slot (emptied by the loop) stays for the loop to pop.
    const bool running = !queue_.empty() && !queue_.front();
    rest.swap(queue_);
    if (running) {
      queue_.push_back(std::move(rest.front()));
      rest.pop_front();
    }
  }
  if (thread_.joinable()) thread_.interrupt();
  while (!rest.empty()) rest.pop_front();
}

void async_worker_t::join() {
  if (thread_.joinable() && thread_.get_id() != boost::this_thread::get_id()) thread_.join();
}

void async_worker_t::post(std::unique_ptr<task_t> task) {
  std::vector<std::unique_ptr<task_t>> one;
  one.push_back(std::move(task));
  post_all(std::move(one));
}

void async_worker_t::post_all(std::vector<std::unique_ptr<task_t>> tasks) {
  if (tasks.empty()) return;
  boost::mutex::scoped_lock lock(mutex_);
  if (failed_) {
    // Nobody will run them: dropping them breaks their promises, so whoever
    // waits on one (a barrier at close) fails instead of waiting for ever.
    lock.unlock();
    tasks.clear();
    return;
  }
  const bool idle = queue_.empty();
  for (auto& task : tasks) queue_.push_back(std::move(task));
  if (!idle) return;  // busy: the worker checks the queue after each task
  lock.unlock();
  if (thread_.get_id() != boost::thread::id()) {
    wakeup_.notify_one();
  } else {
    thread_ = boost::thread([this] {
      name_this_thread(name_);
      run_tasks();
    });
  }
}

void async_worker_t::run_tasks() {
  // The error leaves the catch block before it is handed on: the worker must
  // hold no reference to the exception once the event loop may read and free
  // it (the count inside the runtime library is no ordering a race checker
  // can see).
  std::exception_ptr error;
  try {
    boost::mutex::scoped_lock lock(mutex_);
    for (;;) {
      boost::this_thread::interruption_point();
      while (queue_.empty()) wakeup_.wait(lock);
      std::unique_ptr<task_t> task = std::move(queue_.front());
      lock.unlock();
      task->run();
      lock.lock();
      queue_.pop_front();
      lock.unlock();
      task.reset();
      lock.lock();
    }
  } catch (const boost::thread_interrupted&) {
    return;  // normal end of the worker
  } catch (const std::exception&) {
    error = std::current_exception();
  } catch (...) {
    error = std::make_exception_ptr(std::runtime_error("Unknown exception in a worker task"));
  }
  fail(std::move(error));
}

void async_worker_t::fail(std::exception_ptr error) {
  auto rest = std::make_shared<std::deque<std::unique_ptr<task_t>>>();
  {
    boost::mutex::scoped_lock lock(mutex_);
    failed_ = true;
    rest->swap(queue_);
  }
  // The unrun tasks go on the event loop, where their captures live, before
  // the exception ends the daemon.
  boost::asio::post(io_, [rest, error = std::move(error)] {
    rest->clear();
    std::rethrow_exception(error);
  });
}

}  // namespace mq::util
