// The link fed bytes in any split (flag bit 0: with a descriptor, bit 1:
// two of it); frames are echoed, a body starting 0xFF destroys the link in
// on_message. Checked: frames whole and in order, on_error at most once, no
// fd leaks.
#include <fcntl.h>

#include <memory>

#include "fuzz_support.h"
#include "net/local_ipc_link.h"

namespace {

using mq::fuzz::check;
using mq::net::local_ipc_link_t;

struct delegate_t : local_ipc_link_t::delegate_t {
  std::unique_ptr<local_ipc_link_t> link;
  std::string stream, echo;  // all bytes sent to the link; the frames it echoes
  std::size_t parsed = 0;
  int errors = 0;

  void on_written() override {}
  void on_error(std::exception_ptr) override { ++errors; }
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override {
    const std::string frame = stream.substr(parsed, 4 + size);
    check(errors == 0 && frame.size() == 4 + size && std::memcmp(frame.data(), &size, 4) == 0 &&
          std::memcmp(frame.data() + 4, data, size) == 0 && (!fd || (::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC)));
    parsed += frame.size();
    if (data[0] == 0xFF) return link.reset();
    echo += frame;
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    link->send((std::memcpy(copy.get(), data, size), std::move(copy)), size, std::move(fd));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto open_before = mq::fuzz::open_fds();
  {
    boost::asio::io_context io;
    local_ipc_link_t::socket_t ours(io);
    const int peer = mq::fuzz::socket_pair(io, ours);
    const int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    delegate_t d;
    d.link = std::make_unique<local_ipc_link_t>(std::move(ours), &d);
    mq::fuzz::records_t in{data, size, false};
    std::string echoed;
    while (in.next() && d.link && d.errors == 0 &&
           mq::fuzz::send_bytes(peer, in.bytes, (in.flags & 1) ? passed : -1, (in.flags & 2) ? 2 : 1)) {
      d.stream += in.bytes;
      io.poll(), echoed += mq::fuzz::drain(peer);
    }
    ::shutdown(peer, SHUT_WR);
    while (d.link && d.errors == 0) io.run_one();
    io.poll(), echoed += mq::fuzz::drain(peer);
    // What came back is a prefix of the frames the link got.
    check(d.errors <= 1 && d.echo.compare(0, echoed.size(), echoed) == 0);
    d.link.reset(), ::close(peer), ::close(passed);
  }
  check(mq::fuzz::open_fds() == open_before);  // a leaked descriptor need not be the lowest
  return 0;
}
