#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "util/async_worker.h"

namespace mq::store {

// A worker thread that runs its tasks in groups, so that one sync or one
// COMMIT serves many: a task of the group's kind (Task, derived from task_t)
// takes those queued right behind it, and may take more while it works, up
// to a bound on their count and bytes, so that the first does not wait too
// long. Anything else posted to the worker ends a group: nothing moves
// across it. A group's outcomes reach the event loop in one turn, in posting
// order. The database writer and the directory worker are each one.
template <class Task>
class group_worker_t {
 public:
  struct limits_t {
    std::size_t count;    // of the tasks that count (task_t's `counted`)
    std::uint64_t bytes;  // of all its tasks
  };

  class group_t;

  class task_t : public mq::util::async_worker_t::task_t {
   public:
    task_t(group_worker_t& owner, std::uint64_t bytes, bool counted)
        : owner_(owner), bytes_(bytes), counted_(counted), work_(boost::asio::make_work_guard(owner.loop())) {}

    // The callback with the outcome (or `error`), to run on the event loop.
    virtual std::function<void()> outcome(std::exception_ptr error) = 0;

   private:
    friend group_worker_t;
    friend group_t;
    void run() final { owner_.run_group(static_cast<Task&>(*this)); }

    group_worker_t& owner_;
    std::uint64_t bytes_;
    bool counted_;
    // The loop waits for the outcome; a task dropped unrun releases it.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  };

  // The tasks of one group, on the worker, in posting order.
  class group_t {
   public:
    std::size_t size() const { return tasks_.size(); }
    Task& operator[](std::size_t i) const { return *tasks_[i]; }
    Task& back() const { return *tasks_.back(); }

    // Takes the task queued right behind when it is of the group's kind and
    // the bounds allow one more.
    bool take_next() {
      if (counted_ >= owner_.limits_.count || bytes_ >= owner_.limits_.bytes) return false;
      auto next = owner_.worker_.take_next_if([](auto& task) { return dynamic_cast<task_t*>(&task) != nullptr; });
      if (!next) return false;
      add(static_cast<Task&>(*next));
      taken_.push_back(std::move(next));
      return true;
    }

    // Every outcome (`errors` in the group's order, null for success), in
    // one turn of the event loop; then release().
    void answer(std::vector<std::exception_ptr> errors) {
      std::vector<std::function<void()>> outcomes;
      for (std::size_t i = 0; i < tasks_.size(); ++i) outcomes.push_back(tasks_[i]->outcome(std::move(errors[i])));
      boost::asio::post(owner_.loop(), [outcomes = std::move(outcomes)] {
        for (const auto& outcome : outcomes) outcome();
      });
      release();
    }
    // The loop no longer waits for the group's outcomes.
    void release() {
      for (Task* task : tasks_) static_cast<task_t*>(task)->work_.reset();
    }

   private:
    friend group_worker_t;
    group_t(group_worker_t& owner, Task& first) : owner_(owner) { add(first); }
    void add(Task& task) {
      tasks_.push_back(&task);
      bytes_ += static_cast<task_t&>(task).bytes_;
      counted_ += static_cast<task_t&>(task).counted_ ? 1 : 0;
    }

    group_worker_t& owner_;
    std::vector<Task*> tasks_;
    std::vector<std::unique_ptr<mq::util::async_worker_t::task_t>> taken_;
    std::uint64_t bytes_ = 0;
    std::size_t counted_ = 0;
  };

  // `run` does the group's work and answers it (group_t::answer), or
  // releases it.
  group_worker_t(boost::asio::io_context& io, std::string name, limits_t limits, std::function<void(group_t&)> run)
      : limits_(limits), run_(std::move(run)), worker_(io) {
    worker_.set_name(std::move(name));
  }

  // Everything else it runs: tasks in posting order.
  mq::util::async_worker_t& worker() { return worker_; }
  boost::asio::io_context& loop() { return worker_.loop(); }

 private:
  void run_group(Task& first) {
    group_t group(*this, first);
    while (group.take_next()) {
    }
    run_(group);
  }

  limits_t limits_;
  std::function<void(group_t&)> run_;
  mq::util::async_worker_t worker_;
};

}  // namespace mq::store
