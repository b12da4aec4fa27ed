#include "util/async_worker.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/thread/thread.hpp>

#include "util/callback_wrapper.h"
#include "util/result.h"
#include "util_test_support.h"

namespace mq::util {
namespace {

using namespace std::chrono_literals;

long this_tid() { return ::syscall(SYS_gettid); }

int thread_count() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

// An owner of callbacks, as the store's back ends and the connections are.
class owner_t : public callback_wrapper_t {};

class worker_test : public ::testing::Test {
 protected:
  bool run_until(const std::function<bool()>& done) { return test::run_until(io, done); }

  boost::asio::io_context io;
  owner_t owner;
};

TEST_F(worker_test, AWorkerThatNeverGotATaskStartsNoThread) {
  const int before = thread_count();
  ASSERT_GT(before, 0);
  {
    async_worker_t worker(io);
    EXPECT_LE(thread_count(), before);
  }
  EXPECT_LE(thread_count(), before);
}

TEST_F(worker_test, RunsTasksInPostingOrderOnOneThreadAndDeliversInOrder) {
  async_worker_t worker(io);
  const long main_tid = this_tid();
  std::vector<int> ran;  // written by the worker only, read after the last callback
  std::vector<long> tids;
  std::vector<int> delivered;
  std::vector<long> delivery_tids;
  for (int i = 0; i < 10; ++i) {
    worker.post(
        [&, i] {
          ran.push_back(i);
          tids.push_back(this_tid());
          return i * 10;
        },
        owner.wrap([&](int v, std::exception_ptr e) {
          EXPECT_FALSE(e);
          delivered.push_back(v);
          delivery_tids.push_back(this_tid());
        }));
  }
  ASSERT_TRUE(run_until([&] { return delivered.size() == 10; }));
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(delivered, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90}));
  for (long t : tids) {
    EXPECT_EQ(t, tids[0]) << "every task runs on the one worker thread";
    EXPECT_NE(t, main_tid);
  }
  for (long t : delivery_tids) EXPECT_EQ(t, main_tid) << "callbacks run on the event loop";
}

TEST_F(worker_test, IoContextRunWaitsForPendingCallbacks) {
  async_worker_t worker(io);
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::string got;
  worker.post(
      [opened] {
        opened.wait();
        return std::string("late result");
      },
      owner.wrap([&](std::string v, std::exception_ptr) { got = v; }));
  std::thread opener([&] { gate.set_value(); });
  // Nothing else keeps the loop busy: run() returns only after delivery.
  io.run();
  opener.join();
  EXPECT_EQ(got, "late result");
}

TEST_F(worker_test, BurstPostedWhileBusyRunsInOrderAfterTheBusyTask) {
  async_worker_t worker(io);
  std::promise<void> started, gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::vector<int> delivered;
  worker.post(
      [&started, opened] {
        started.set_value();
        opened.wait();
        return 0;
      },
      owner.wrap([&](int v, std::exception_ptr) { delivered.push_back(v); }));
  started.get_future().wait();
  for (int i = 1; i <= 20; ++i)
    worker.post([i] { return i; }, owner.wrap([&](int v, std::exception_ptr) { delivered.push_back(v); }));
  gate.set_value();
  ASSERT_TRUE(run_until([&] { return delivered.size() == 21; }));
  for (int i = 0; i <= 20; ++i) EXPECT_EQ(delivered[i], i);
}

TEST_F(worker_test, PostsToAnIdleWorkerAreNeverLost) {
  // Each round lets the worker run dry and wait before the next post, so
  // every post has to wake it.
  async_worker_t worker(io);
  int delivered = 0;
  for (int round = 0; round < 300; ++round) {
    worker.post([round] { return round; }, owner.wrap([&](int v, std::exception_ptr) {
      EXPECT_EQ(v, delivered);
      ++delivered;
    }));
    ASSERT_TRUE(run_until([&] { return delivered == round + 1; })) << "round " << round;
  }
}

TEST_F(worker_test, OwnedTaskObjectsRunToo) {
  struct counting_task_t : async_worker_t::task_t {
    counting_task_t(std::promise<long>* done) : done_(done) {}
    void run() override { done_->set_value(this_tid()); }
    std::promise<long>* done_;
  };
  async_worker_t worker(io);
  std::promise<long> done;
  worker.post(std::unique_ptr<async_worker_t::task_t>(new counting_task_t(&done)));
  EXPECT_NE(done.get_future().get(), this_tid());
}

TEST_F(worker_test, DestructionFinishesTheRunningTaskAndDiscardsTheQueued) {
  auto worker = std::make_unique<async_worker_t>(io);
  std::promise<void> started;
  std::atomic<bool> finished{false};
  std::atomic<int> queued_runs{0};
  int callbacks = 0;
  auto sentinel = std::make_shared<int>(0);

  worker->post([&] {
    started.set_value();
    // Runs until the destructor asks the thread to stop, and then still
    // to its end.
    while (!boost::this_thread::interruption_requested()) std::this_thread::yield();
    finished = true;
  });
  started.get_future().wait();
  for (int i = 0; i < 4; ++i) {
    worker->post(
        [&, sentinel] {
          ++queued_runs;
          return 1;
        },
        owner.wrap([&](int, std::exception_ptr) { ++callbacks; }));
  }
  EXPECT_EQ(sentinel.use_count(), 5);

  worker.reset();
  EXPECT_TRUE(finished);
  EXPECT_EQ(queued_runs, 0);
  EXPECT_EQ(sentinel.use_count(), 1) << "discarded tasks must be destroyed";
  // The discarded tasks left no work behind, so the loop returns at once.
  io.run_for(120s);
  EXPECT_TRUE(io.stopped());
  EXPECT_EQ(callbacks, 0);
}

TEST_F(worker_test, ValueTaskThatThrowsDeliversDefaultValueAndTheException) {
  async_worker_t worker(io);
  bool called = false;
  std::string value = "untouched";
  std::exception_ptr error;
  worker.post(
      []() -> std::string {
        throw std::runtime_error("task failed");
        return "never";
      },
      owner.wrap([&](std::string v, std::exception_ptr e) {
        called = true;
        value = v;
        error = e;
      }));
  ASSERT_TRUE(run_until([&] { return called; }));
  EXPECT_EQ(value, "");
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task failed");
  }
}

TEST_F(worker_test, PostResultDeliversValueOrExceptionAsResult) {
  async_worker_t worker(io);
  std::vector<result_t<int>> ints;
  std::vector<result_t<none_t>> nones;
  worker.post_result([] { return 7; }, owner.wrap([&](result_t<int> r) { ints.push_back(std::move(r)); }));
  worker.post_result([]() -> int { throw std::logic_error("no int"); },
                     owner.wrap([&](result_t<int> r) { ints.push_back(std::move(r)); }));
  worker.post_result([] {}, owner.wrap([&](result_t<none_t> r) { nones.push_back(std::move(r)); }));
  worker.post_result([] { throw std::out_of_range("no none"); },
                     owner.wrap([&](result_t<none_t> r) { nones.push_back(std::move(r)); }));
  ASSERT_TRUE(run_until([&] { return ints.size() == 2 && nones.size() == 2; }));

  ASSERT_TRUE(has_value(ints[0]));
  EXPECT_EQ(value_of(ints[0]), 7);
  EXPECT_FALSE(error_of(ints[0]));

  EXPECT_FALSE(has_value(ints[1]));
  EXPECT_TRUE(error_of(ints[1]));
  EXPECT_THROW(value_of(ints[1]), std::logic_error);

  EXPECT_TRUE(has_value(nones[0]));
  EXPECT_FALSE(has_value(nones[1]));
  EXPECT_THROW(std::rethrow_exception(error_of(nones[1])), std::out_of_range);
}

TEST_F(worker_test, StdExceptionFromATaskWithoutCallbackLeavesIoContextRun) {
  auto worker = std::make_unique<async_worker_t>(io);
  auto guard = boost::asio::make_work_guard(io);
  std::atomic<bool> later_ran{false};
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  worker->post([opened] {
    opened.wait();
    throw std::runtime_error("fatal in task");
  });
  worker->post([&] { later_ran = true; });
  gate.set_value();
  try {
    io.run();
    ADD_FAILURE() << "run() returned normally";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "fatal in task");
  }
  // The worker has ended: neither the task queued behind nor a new one runs.
  worker->post([&] { later_ran = true; });
  worker.reset();
  EXPECT_FALSE(later_ran);
}

TEST_F(worker_test, CallbackOfADestroyedOwnerIsDropped) {
  async_worker_t worker(io);
  auto gone = std::make_unique<owner_t>();
  int calls = 0;
  bool last = false;
  worker.post([] { return 1; }, gone->wrap([&](int, std::exception_ptr) { ++calls; }));
  worker.post([] { return 2; }, owner.wrap([&](int, std::exception_ptr) { last = true; }));
  gone.reset();
  ASSERT_TRUE(run_until([&] { return last; }));
  EXPECT_EQ(calls, 0);
}

using worker_death_test = worker_test;

TEST_F(worker_death_test, ATaskDestroyingItsOwnWorkerEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // No deadlock and no use of the freed worker: the process aborts.
  EXPECT_EXIT(
      {
        boost::asio::io_context loop;
        auto* worker = new async_worker_t(loop);
        std::promise<void> posted;
        std::shared_future<void> post_returned = posted.get_future().share();
        auto* survived = new std::promise<void>;
        worker->post([worker, survived, post_returned] {
          post_returned.wait();
          delete worker;
          survived->set_value();
        });
        posted.set_value();
        // Returns (and so fails the expectation) only if the delete did.
        survived->get_future().wait();
      },
      ::testing::KilledBySignal(SIGABRT), "trying joining itself");
}

// ---- callback_wrapper_t ------------------------------------------------------

TEST(callback_wrapper, CancelSilencesEarlierWrappersOnly) {
  owner_t o;
  int early = 0, late = 0;
  auto before = o.wrap([&](int n) { early += n; });
  before(1);
  EXPECT_EQ(early, 1);
  o.cancel();
  EXPECT_TRUE(o.cancelled());
  before(10);
  EXPECT_EQ(early, 1);
  auto after = o.wrap([&](int n) { late += n; });
  EXPECT_FALSE(o.cancelled());
  after(5);
  EXPECT_EQ(late, 5);
  before(100);
  EXPECT_EQ(early, 1) << "a raised flag is never lowered";
}

TEST(callback_wrapper, WrapperOutlivingItsOwnerDoesNothing) {
  int calls = 0;
  auto o = std::make_unique<owner_t>();
  auto w = o->wrap([&] { ++calls; });
  o.reset();
  w();
  EXPECT_EQ(calls, 0);
}

TEST(callback_wrapper, ForwardsArgumentsIncludingMoveOnlyOnes) {
  owner_t o;
  std::unique_ptr<int> got;
  std::string text;
  auto w = o.wrap([&](std::unique_ptr<int> p, const std::string& s) {
    got = std::move(p);
    text = s;
  });
  w(std::make_unique<int>(42), std::string("arg"));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 42);
  EXPECT_EQ(text, "arg");
}

TEST(callback_wrapper, WorksAsAnAsioCompletionHandler) {
  boost::asio::io_context io;
  owner_t o;
  int first = 0, second = 0;
  boost::asio::post(io, o.wrap([&] { ++first; }));
  o.cancel();
  boost::asio::post(io, o.wrap([&] { ++second; }));
  io.run();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
}

TEST(result, AlternativesAreValueThenException) {
  result_t<std::string> ok = make_result(std::string("v"), nullptr);
  EXPECT_EQ(ok.which(), 0);
  EXPECT_EQ(boost::get<std::string>(ok), "v");
  result_t<std::string> bad = make_result(std::string("ignored"), std::make_exception_ptr(std::runtime_error("x")));
  EXPECT_EQ(bad.which(), 1);
  EXPECT_TRUE(boost::get<std::exception_ptr>(bad));
  result_t<std::string> err = make_error_result<std::string>(std::make_exception_ptr(std::runtime_error("y")));
  EXPECT_FALSE(has_value(err));
  EXPECT_THROW(value_of(err), std::runtime_error);
}

}  // namespace
}  // namespace mq::util
