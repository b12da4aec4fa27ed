#pragma once

#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "util/result.h"
#include "util/thrown_by.h"

namespace mq::util {

// True for a callable without arguments that returns nothing; false for
// anything else (so that post(std::unique_ptr<task_t>) is never ambiguous).
template <class F, class = void>
inline constexpr bool is_void_task_v = false;
template <class F>
inline constexpr bool is_void_task_v<F, std::void_t<std::invoke_result_t<F&>>> =
    std::is_void_v<std::invoke_result_t<F&>>;

// A private worker thread with a first-in-first-out task queue. The thread
// starts with the first task; results return to the event loop as posted
// callbacks.
class async_worker_t {
 public:
  class task_t {
   public:
    virtual ~task_t() = default;
    virtual void run() = 0;
  };

  template <class F>
  class task_wrapper_t : public task_t {
   public:
    explicit task_wrapper_t(F f) : f_(std::move(f)) {}
    void run() override { f_(); }

   private:
    F f_;
  };

  explicit async_worker_t(boost::asio::io_context& io);
  async_worker_t(const async_worker_t&) = delete;
  async_worker_t& operator=(const async_worker_t&) = delete;
  // Finishes the running task, discards the queued ones unrun.
  ~async_worker_t();  // NOLINT(bugprone-exception-escape): a failed join or lock ends the process

  // Ends the worker early, without waiting: the running task finishes (the
  // destructor waits for it), the queued ones are discarded unrun here and
  // later ones are refused, so that no work starts after a shutdown's limit.
  void stop();
  // After stop(): waits for the running task, whose results are then on the
  // event loop.
  void join();

  void post(std::unique_ptr<task_t> task);
  // All at once, in order: the worker finds them queued together.
  void post_all(std::vector<std::unique_ptr<task_t>> tasks);

  // A task that delivers its own outcome (through a promise or a callback it
  // captured). A std::exception escaping it ends the worker and is rethrown
  // on the event loop.
  template <class F, std::enable_if_t<is_void_task_v<std::decay_t<F>>, int> = 0>
  void post(F&& f) {
    post(std::unique_ptr<task_t>(new task_wrapper_t<std::decay_t<F>>(std::forward<F>(f))));
  }

  // A task returning a value: the callback gets (value, exception) on the
  // event loop; an exception gives a default-constructed value. Until the
  // callback has been posted the event loop counts the task as pending work,
  // so that io_context::run() does not return while a result is on its way;
  // a task discarded unrun releases it.
  template <class F, class C, std::enable_if_t<!is_void_task_v<std::decay_t<F>>, int> = 0>
  void post(F&& f, C callback) {
    using value_t = std::decay_t<std::invoke_result_t<std::decay_t<F>&>>;
    post([io = &io_, work = boost::asio::make_work_guard(io_), f = std::forward<F>(f),
          callback = std::move(callback)]() mutable {
      value_t value{};
      std::exception_ptr error = thrown_by([&] { value = f(); });
      if (error) value = value_t{};
      boost::asio::post(*io, [callback = std::move(callback), value = std::move(value),
                              error = std::move(error)]() mutable { callback(std::move(value), error); });
      work.reset();
    });
  }

  // Same, with the outcome turned into a result_t.
  template <class F, class C>
  void post_result(F&& f, C callback) {
    using raw_t = std::invoke_result_t<std::decay_t<F>&>;
    if constexpr (std::is_void_v<raw_t>) {
      post(
          [f = std::forward<F>(f)]() mutable {
            f();
            return none_t{};
          },
          [callback = std::move(callback)](none_t v, std::exception_ptr e) mutable {
            callback(make_result(v, std::move(e)));
          });
    } else {
      post(std::forward<F>(f), [callback = std::move(callback)](raw_t v, std::exception_ptr e) mutable {
        callback(make_result(std::move(v), std::move(e)));
      });
    }
  }

  // The event loop its results go back to (not the worker's own thread).
  boost::asio::io_context& loop() { return io_; }
  // The thread's name (see thread_name.h); before the first task.
  void set_name(std::string name) { name_ = std::move(name); }

  // From inside a running task only: takes the task queued right behind it
  // when `accept` says yes, so that the running task can do its work as
  // well (posting order is kept: only the next task is ever taken).
  template <class P>
  std::unique_ptr<task_t> take_next_if(P accept) {
    boost::mutex::scoped_lock lock(mutex_);
    if (queue_.size() < 2 || !accept(*queue_[1])) return nullptr;
    std::unique_ptr<task_t> next = std::move(queue_[1]);
    queue_.erase(queue_.begin() + 1);
    return next;
  }

 private:
  std::string name_;
  void run_tasks();
  // After a task let an exception escape: nothing runs any more, and the
  // exception is rethrown on the event loop.
  void fail(std::exception_ptr error);

  boost::asio::io_context& io_;
  boost::mutex mutex_;
  boost::condition_variable wakeup_;
  boost::thread thread_;
  std::deque<std::unique_ptr<task_t>> queue_;
  bool failed_ = false;  // guarded by mutex_
};

}  // namespace mq::util
