#include "protocol_peer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "util/frame_io.h"

namespace mq::test {

namespace {

// The next frame parsed as `message`; false at the end of the stream.
bool read_message(int socket, google::protobuf::Message& message, mq::util::unique_fd_t* fd, int timeout_ms) {
  std::string body;
  mq::util::unique_fd_t received;
  if (!mq::util::read_frame(socket, body, received, timeout_ms)) return false;
  if (!message.ParseFromString(body)) throw std::runtime_error("frame is not a valid " + message.GetTypeName());
  if (fd) *fd = std::move(received);
  return true;
}

bool closed(int socket, int timeout_ms) {
  std::string body;
  mq::util::unique_fd_t fd;
  return !mq::util::read_frame(socket, body, fd, timeout_ms);
}

}  // namespace

mq::util::unique_fd_t memory_file_fd(const std::string& content) {
  const int fd = ::memfd_create("message", MFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error("memfd_create failed");
  mq::util::unique_fd_t owned(fd);
  if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    throw std::runtime_error("write to a memory file failed");
  return owned;
}

std::string read_all(int fd) {
  std::string out;
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
    offset += n;
  }
}

sorter_peer_t::sorter_peer_t(const std::string& path, bool greeting) : socket_(mq::util::connect_local(path)) {
  if (!greeting) return;
  const response_t first = read();
  EXPECT_EQ(response_t::STORE_STATE_NOTIFICATION, first.tag()) << "the first frame must be the store state";
  store_path_ = first.store_path();
}

void sorter_peer_t::send(const request_t& request, int fd) {
  mq::util::write_frame(socket_.get(), request.SerializePartialAsString(), fd);
}

sorter_peer_t::response_t sorter_peer_t::read(mq::util::unique_fd_t* fd, int timeout_ms) {
  response_t m;
  if (!read_message(socket_.get(), m, fd, timeout_ms)) throw std::runtime_error("the daemon closed the Sorter link");
  return m;
}

bool sorter_peer_t::wait_closed(int timeout_ms) { return closed(socket_.get(), timeout_ms); }

sorter_peer_t::response_t sorter_peer_t::call(request_t request, int fd, mq::util::unique_fd_t* out_fd) {
  const std::uint32_t serial = next_serial();
  request.set_serial(serial);
  send(request, fd);
  for (;;) {
    mq::util::unique_fd_t received;
    response_t m = read(&received);
    if (m.tag() == response_t::QUEUE_CHANGE_NOTIFICATION) {
      notifications.push_back(m);
      continue;
    }
    if (m.serial() != serial) throw std::runtime_error("answer to serial " + std::to_string(m.serial()));
    if (out_fd) *out_fd = std::move(received);
    return m;
  }
}

std::uint64_t sorter_peer_t::put(const std::string& content, mq::Status status, const mq::Entry& entry) {
  request_t m;
  m.set_tag(request_t::PUT_ENTRY_REQUEST);
  m.set_status(status);
  *m.mutable_entry() = entry;
  m.mutable_entry()->set_message_size(content.size());
  const auto file = memory_file_fd(content);
  const response_t r = call(m, file.get());
  if (r.tag() != response_t::PUT_ENTRY_RESPONSE) throw std::runtime_error("put failed: " + r.error().what());
  return r.entry_id();
}

client_peer_t::client_peer_t(const std::string& path) : socket_(mq::util::connect_local(path)) {}

void client_peer_t::send(const request_t& request) {
  mq::util::write_frame(socket_.get(), request.SerializePartialAsString());
}

client_peer_t::response_t client_peer_t::read(int timeout_ms) {
  response_t m;
  if (!read_message(socket_.get(), m, nullptr, timeout_ms))
    throw std::runtime_error("the daemon closed the client link");
  return m;
}

bool client_peer_t::wait_closed(int timeout_ms) { return closed(socket_.get(), timeout_ms); }

client_peer_t::response_t client_peer_t::call(request_t request) {
  const std::uint32_t serial = ++serial_;
  request.set_serial(serial);
  send(request);
  response_t m = read();
  if (m.serial() != serial) throw std::runtime_error("answer to serial " + std::to_string(m.serial()));
  return m;
}

client_peer_t::response_t client_peer_t::stat() {
  request_t m;
  m.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
  return call(m);
}

client_peer_t::response_t client_peer_t::flush(mq::Status status) {
  request_t m;
  m.set_tag(request_t::FLUSH_QUEUE_REQUEST);
  m.set_status(status);
  return call(m);
}

client_peer_t::response_t client_peer_t::check(bool fix) {
  request_t m;
  m.set_tag(request_t::CHECK_HEALTH_REQUEST);
  m.set_fix(fix);
  return call(m);
}

client_peer_t::response_t client_peer_t::chunk(mq::Status status, std::uint64_t after_id, std::uint64_t after_ts,
                                               std::uint64_t limit) {
  request_t m;
  m.set_tag(request_t::GET_QUEUE_CHUNK_REQUEST);
  m.set_status(status);
  m.set_entry_id(after_id);
  m.set_next_access_ts(after_ts);
  m.set_limit(limit);
  return call(m);
}

}  // namespace mq::test
