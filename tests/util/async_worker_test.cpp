#include "util/async_worker.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/common.h"
#include "util/callback_wrapper.h"
#include "util/result.h"

namespace mq::util {
namespace {

long this_tid() { return ::syscall(SYS_gettid); }

// Tasks run in posting order on one thread of their own; results, failures
// included, come back in that order on the event loop, and run() does not
// return while one is on its way.
TEST(async_worker, runs_in_order_off_the_loop_and_delivers_on_it) {
  boost::asio::io_context io;
  callback_wrapper_t owner;
  async_worker_t worker(io);
  std::set<long> task_tids;
  std::vector<std::string> delivered;
  for (int i = 0; i < 6; ++i) {
    worker.post_result(
        [&, i]() -> int {
          task_tids.insert(this_tid());
          if (i == 3) throw std::runtime_error("task 3 failed");
          return i * 10;
        },
        owner.wrap([&](result_t<int> r) {
          EXPECT_EQ(this_tid(), ::getpid()) << "callbacks run on the loop";
          delivered.push_back(has_value(r) ? std::to_string(value_of(r)) : "error");
        }));
  }
  io.run();
  EXPECT_EQ((std::vector<std::string>{"0", "10", "20", "error", "40", "50"}), delivered);
  EXPECT_EQ(std::tuple(1u, 0u), std::tuple(task_tids.size(), task_tids.count(::getpid()))) << "threads, on the loop";
}

// Destroyed, or stopped first (as a shutdown past its limit does): the
// queued tasks never run, and a stop discards them at once.
TEST(async_worker, destruction_finishes_the_running_task_and_discards_the_queued) {
  for (const bool stop_first : {false, true}) {
    SCOPED_TRACE(stop_first ? "stopped" : "destroyed");
    boost::asio::io_context io;
    callback_wrapper_t owner;
    auto worker = std::make_unique<async_worker_t>(io);
    std::promise<void> started;
    std::atomic<bool> finished{false};
    std::atomic<int> queued_runs{0};
    int callbacks = 0;
    auto sentinel = std::make_shared<int>(0);
    worker->post([&] {
      started.set_value();
      // Runs until the thread is asked to stop, and then on to its end.
      while (!boost::this_thread::interruption_requested()) std::this_thread::yield();
      finished = true;
    });
    started.get_future().wait();
    const auto post_one = [&] {
      worker->post([&, sentinel] { return ++queued_runs; }, owner.wrap([&](int, std::exception_ptr) { ++callbacks; }));
    };
    for (int i = 0; i < 4; ++i) post_one();
    if (stop_first) {
      worker->stop();
      EXPECT_EQ(1, sentinel.use_count()) << "discarded at once";
      post_one();  // refused
      EXPECT_EQ(1, sentinel.use_count());
    }
    worker.reset();
    EXPECT_EQ(std::tuple(true, 0, 1L), std::tuple(finished.load(), queued_runs.load(), sentinel.use_count()))
        << "the running task finished, queued runs, holders of the discarded tasks";
    io.poll();  // nothing is left pending on the loop either
    EXPECT_EQ(0, callbacks);
  }
}

// A task that lets an exception escape must not leave the queue unserved
// (a close would wait for ever): the error ends the loop and nothing after
// it runs.
TEST(async_worker, an_escaping_exception_ends_the_loop_and_nothing_runs_after_it) {
  boost::asio::io_context io;
  async_worker_t worker(io);
  std::atomic<int> later{0};
  std::promise<void> gate;
  worker.post([&] {
    gate.get_future().wait();
    throw std::runtime_error("task broke");
  });
  worker.post([&] { ++later; });
  gate.set_value();
  auto busy = boost::asio::make_work_guard(io);  // as the daemon's sockets keep its loop busy
  try {
    io.run_for(test::wait_limit());
    ADD_FAILURE() << "the error did not reach the loop";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("task broke", e.what());
  }
  EXPECT_EQ(0, later);
}

}  // namespace
}  // namespace mq::util
