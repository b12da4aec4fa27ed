// Case: the frames of a get echoed by a process that does no work, as the
// floor under any daemon's get at 1x1 on this machine.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "bench.h"
#include "net/frame_io.h"
#include "sorter/convert.h"

namespace mq::bench {

namespace {

// The echoing side: sleeps in epoll as the daemon's event loop does, reads a
// frame, answers with `answer` and `file`, until the other end closes.
[[noreturn]] void echo(int sock, const std::string& answer, int file) {
  try {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    if (poller < 0 || ::epoll_ctl(poller, EPOLL_CTL_ADD, sock, &event) != 0) ::_exit(2);
    std::string body;
    for (;;) {
      if (::epoll_wait(poller, &event, 1, -1) < 0 && errno != EINTR) ::_exit(2);
      mq::util::unique_fd_t none;
      if (!mq::net::read_frame(sock, body, none)) ::_exit(0);
      mq::net::write_frame(sock, answer, file);
    }
  } catch (...) {
    ::_exit(2);
  }
}

}  // namespace

batch_stats_t bench_t::floor_round(std::size_t n, const payload_t& file) {
  request_t q;
  make_get(1, q);
  const std::string request = q.SerializeAsString();
  // The daemon's own answer to a get of the benchmark's entry.
  mq::store::entry_t entry;
  entry.metadata = bench_metadata(1, file.size());
  entry.file = mq::store::shared_file_t(-1, file.size());
  answer_t a;
  a.set_tag(answer_t::GET_ENTRY_RESPONSE);
  a.set_serial(1);
  a.set_entry_id(1);
  mq::sorter::fill_entry(*a.mutable_entry(), entry);
  const std::string answer = a.SerializeAsString();

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::system_error(errno, std::generic_category(), "socketpair");
  mq::util::unique_fd_t mine(pair[0]), theirs(pair[1]);
  const pid_t child = ::fork();
  if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (child == 0) {
    mine.reset();  // or the end of the loop below never reaches it
    echo(theirs.get(), answer, file.fd());
  }
  theirs.reset();

  // What a Sorter does for a get: both frames, the answer, its file read.
  std::string body, content;
  batch_stats_t b = time_serial(n, [&](std::size_t) {
    mq::net::write_frame(mine.get(), request);
    mq::util::unique_fd_t fd;
    if (!mq::net::read_frame(mine.get(), body, fd, 15000) || !fd) throw std::runtime_error("echo ended");
    read_whole(fd.get(), content);
    require(content == file.bytes(), "the echoed descriptor reads back the file");
  });
  mine.reset();
  int status = 0;
  ::waitpid(child, &status, 0);
  require(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the echoing process ends cleanly");
  return b;
}

}  // namespace mq::bench
