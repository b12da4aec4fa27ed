#include "util/loop_standby.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "util/thread_name.h"

namespace mq::util {

namespace {

// A standby without calls to watch for this long sleeps until the next.
constexpr std::chrono::milliseconds idle_after{100};

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether thread `tid` of this process sleeps in the kernel, rather than
// running or waiting for a CPU: a busy machine may keep a quick open from
// its end longer than a held one.
bool asleep(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return true;
  text[n] = 0;
  const char* state = std::strrchr(text, ')');
  return !state || state[1] != ' ' || state[2] != 'R';
}

std::function<void(std::exception_ptr)>& held_end() {
  static std::function<void(std::exception_ptr)> end;
  return end;
}

}  // namespace

void loop_standby_t::set_held_end(std::function<void(std::exception_ptr)> end) { held_end() = std::move(end); }

loop_standby_t::loop_standby_t(boost::asio::io_context& io)
    : io_(io), loop_thread_(static_cast<pid_t>(::syscall(SYS_gettid))) {
  thread_ = std::thread([this] {
    name_this_thread("mq-standby");
    run();
  });
  // The process's signals go to the standby from now on: the kernel would
  // hand a stop to the loop's thread even while a call holds it, and there
  // it would wait for the call. Faults stay with the thread that caused them.
  sigset_t others;
  sigfillset(&others);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&others, fault);
  pthread_sigmask(SIG_BLOCK, &others, &mask_);
}

loop_standby_t::~loop_standby_t() {
  pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void loop_standby_t::enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_call_ = true;
  ++calls_;
  if (!watching_) wake_.notify_one();
}

std::exception_ptr loop_standby_t::leave(bool& served) {
  std::unique_lock<std::mutex> lock(mutex_);
  in_call_ = false;
  served = serving_;
  given_back_.wait(lock, [this] { return !serving_; });
  return std::exchange(failure_, nullptr);
}

bool loop_standby_t::quick() const { return now_ns() >= quick_after_.load(std::memory_order_relaxed); }

void loop_standby_t::note_slow() {
  quick_after_.store(now_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(rest).count(),
                     std::memory_order_relaxed);
}

void loop_standby_t::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    watching_ = false;
    const std::uint64_t slept_at = calls_;
    wake_.wait(lock, [&] { return stop_ || calls_ != slept_at; });
    if (stop_) return;
    watching_ = true;
    // A look every `patience`: a call still under way that was under way
    // at the last look, whose thread sleeps, is held by something.
    for (auto last_call = std::chrono::steady_clock::now();;) {
      const std::uint64_t calls = calls_;
      lock.unlock();
      std::this_thread::sleep_for(patience);
      lock.lock();
      if (stop_) return;
      if (in_call_ && calls_ == calls && asleep(loop_thread_)) serve(lock);
      if (in_call_ || calls_ != calls)
        last_call = std::chrono::steady_clock::now();
      else if (std::chrono::steady_clock::now() - last_call > idle_after)
        break;
    }
  }
}

void loop_standby_t::serve(std::unique_lock<std::mutex>& lock) {
  serving_ = true;
  note_slow();  // before any of the loop's work runs here
  while (in_call_ && !io_.stopped()) {
    lock.unlock();
    try {
      // Looks again every `patience` at least: the call may have ended.
      io_.run_one_for(patience);
    } catch (...) {
      lock.lock();
      failure_ = std::current_exception();
      break;
    }
    lock.lock();
  }
  if (in_call_ && (failure_ || io_.stopped()) && held_end()) {
    const std::exception_ptr failure = failure_;
    lock.unlock();
    held_end()(failure);  // ends the process
    lock.lock();
  }
  serving_ = false;
  given_back_.notify_all();
}

}  // namespace mq::util
