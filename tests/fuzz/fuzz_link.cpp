// The framed link's reader fed bytes and descriptors in any split. Records:
// flag bit 0 attaches a descriptor to the chunk. The link echoes each frame
// with its descriptor; a body starting with 0xFF makes the delegate destroy
// the link inside on_message. Checked: every frame arrives whole and in
// order, the echo matches, one on_error, no descriptor leaks.
#include <fcntl.h>

#include <memory>

#include "fuzz_support.h"
#include "util/local_ipc_link.h"

namespace {

using mq::util::local_ipc_link_t;

void check(bool ok) {
  if (!ok) std::abort();
}

struct delegate_t : local_ipc_link_t::delegate_t {
  std::unique_ptr<local_ipc_link_t> link;
  std::string stream;  // every byte written to the link so far
  std::size_t parsed = 0;
  std::string echo;
  int errors = 0;

  void on_written() override {}
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override {
    check(errors == 0 && stream.size() >= parsed + 4);
    std::uint32_t length;
    std::memcpy(&length, stream.data() + parsed, 4);
    check(length == size && stream.compare(parsed + 4, size, reinterpret_cast<const char*>(data), size) == 0);
    parsed += 4 + size;
    if (fd) check((::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) != 0);
    if (data[0] == 0xFF) {
      link.reset();
      return;
    }
    echo.append(stream, parsed - 4 - size, 4 + size);
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    std::memcpy(copy.get(), data, size);
    link->send(std::move(copy), size, std::move(fd));
  }
  void on_error(std::exception_ptr) override { ++errors; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int probe_before = ::dup(0);
  ::close(probe_before);
  {
    boost::asio::io_context io;
    local_ipc_link_t::socket_t ours(io);
    const int peer = mq::fuzz::socket_pair(io, ours);
    const int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    delegate_t d;
    d.link = std::make_unique<local_ipc_link_t>(std::move(ours), &d);
    mq::fuzz::records_t records{data, size, false};
    std::uint8_t flags;
    std::string bytes, echoed;
    while (records.next(flags, bytes) && d.link && d.errors == 0) {
      if (!mq::fuzz::send_bytes(peer, bytes, (flags & 1) ? passed : -1)) break;
      d.stream += bytes;
      io.poll();
      echoed += mq::fuzz::drain(peer);
    }
    ::shutdown(peer, SHUT_WR);
    while (d.link && d.errors == 0) io.run_one();
    check(d.errors <= 1);
    io.poll();
    echoed += mq::fuzz::drain(peer);
    // What was echoed is a prefix of the frames handed over; all of it when
    // the link ended through the peer's end of file.
    check(d.echo.compare(0, echoed.size(), echoed) == 0);
    d.link.reset();
    ::close(peer);
    ::close(passed);
  }
  const int probe_after = ::dup(0);
  ::close(probe_after);
  check(probe_before == probe_after);
  return 0;
}
