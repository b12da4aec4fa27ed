#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>

namespace mq::util {

// A thread that runs the event loop while the loop's own thread waits in a
// call that is quick nearly always (an open) but may wait for anything (a
// scanner's verdict, a slow disk). A call made through guard() costs a lock
// instead of a hand-off to another thread and back; once it has been
// asleep past `patience`, the standby serves everyone else until it ends.
// Exactly one thread runs the loop's work at any time: the standby starts
// after the caller has stopped and stops before the caller goes on. While
// calls come the standby looks every `patience`; a while after the last
// one it sleeps until the next.
class loop_standby_t {
 public:
  static constexpr std::chrono::microseconds patience{1000};

  // On the loop's thread, which leaves the process's signals to the
  // standby until the standby's end.
  explicit loop_standby_t(boost::asio::io_context& io);
  ~loop_standby_t();
  loop_standby_t(const loop_standby_t&) = delete;
  loop_standby_t& operator=(const loop_standby_t&) = delete;

  // On the loop's thread, inside a handler whose frame holds nothing the
  // loop's other work may destroy: runs `call`, then, once the loop is this
  // thread's again, `then` (told whether the standby served meanwhile).
  // Work of the loop that failed on the standby is rethrown after `then`.
  template <class Call, class Then>
  void guard(Call&& call, Then&& then) {
    enter();
    call();
    bool served = false;
    const std::exception_ptr failure = leave(served);
    then(served);
    if (failure) std::rethrow_exception(failure);
  }
  // What ends the process when the loop has ended (stopped, or failed with
  // the exception given) while its thread is still held in a call; run on
  // the standby's thread. Set once, before the loop runs; without it the
  // standby waits for the call to end.
  static void set_held_end(std::function<void(std::exception_ptr)> end);
  // False from a wait past `patience` until `rest` has passed without one.
  bool quick() const;

  static constexpr std::chrono::seconds rest{10};

 private:
  // Marks a wait past `patience`: quick() is false for `rest`.
  void note_slow();
  void enter();
  // Waits until the loop is this thread's again; says whether the standby
  // served meanwhile and returns what failed there.
  std::exception_ptr leave(bool& served);
  void run();
  // Runs the loop's work until the call has ended.
  void serve(std::unique_lock<std::mutex>& lock);

  boost::asio::io_context& io_;
  std::mutex mutex_;
  std::condition_variable wake_, given_back_;
  bool in_call_ = false;
  std::uint64_t calls_ = 0;
  const pid_t loop_thread_;  // the constructor's caller
  bool watching_ = false;
  bool serving_ = false;
  bool stop_ = false;
  std::exception_ptr failure_;
  sigset_t mask_{};  // the loop's thread's, before the standby
  std::atomic<std::int64_t> quick_after_{0};
  std::thread thread_;
};

}  // namespace mq::util
