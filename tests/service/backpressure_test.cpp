// A Sorter that stops reading, and descriptors over many cycles: the real
// daemon, real sockets, its descriptors counted in /proc.
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::test::sorter_peer_t;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;

std::size_t open_descriptors_of(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// Waits until the daemon holds `count` descriptors; the last count seen.
std::size_t settle_at(pid_t pid, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + mq::test::wait_limit();
  std::size_t now = open_descriptors_of(pid);
  while (now != count && std::chrono::steady_clock::now() < deadline) now = open_descriptors_of(pid);
  return now;
}

request_t request(request_t::Tag tag, std::uint64_t id) {
  request_t m;
  m.set_tag(tag);
  m.set_entry_id(id);
  return m;
}

TEST(Backpressure, ASorterThatDoesNotReadHoldsFewDescriptorsAndStillGetsEveryResponse) {
  mq::test::running_quarantine_t q;
  sorter_peer_t other(q.sorter_socket());
  const std::uint64_t id = other.put("held open by every answer\n", mq::SMTP_FRESH);
  const std::size_t baseline = open_descriptors_of(q.daemon().pid());

  // 2,000 requests in one write; the peer reads nothing back.
  constexpr std::uint32_t count = 2000;
  sorter_peer_t hog(q.sorter_socket());
  std::string burst;
  for (std::uint32_t serial = 1; serial <= count; ++serial) {
    request_t m = request(request_t::GET_ENTRY_REQUEST, id);
    m.set_serial(serial);
    const std::string body = m.SerializeAsString();
    const auto size = static_cast<std::uint32_t>(body.size());
    burst.append(reinterpret_cast<const char*>(&size), sizeof size).append(body);
  }
  for (std::size_t done = 0; done < burst.size();) {
    const ssize_t n = ::send(hog.fd(), burst.data() + done, burst.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }

  // The store works in order: by the time another Sorter is answered, every
  // request the daemon took from the idle one is done, and its answers
  // (each with a descriptor) wait for it.
  std::size_t most = 0;
  for (int i = 0; i < 20; ++i) {
    mq::util::unique_fd_t fd;
    const response_t r = other.call(request(request_t::GET_ENTRY_REQUEST, id), -1, &fd);
    ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag()) << r.error().what();
    EXPECT_EQ("held open by every answer\n", mq::test::read_fd(fd.get()));
    most = std::max(most, open_descriptors_of(q.daemon().pid()));
  }
  EXPECT_LE(most, baseline + 120) << "the idle connection's answers pile up descriptors";

  std::set<std::uint32_t> serials;
  for (std::uint32_t i = 0; i < count; ++i) {
    mq::util::unique_fd_t fd;
    const response_t r = hog.read(&fd);
    ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag()) << r.error().what();
    EXPECT_TRUE(fd.present());
    serials.insert(r.serial());
  }
  EXPECT_EQ(count, serials.size());
  EXPECT_EQ(1u, *serials.begin());
  EXPECT_EQ(count, *serials.rbegin());
  hog.close();
  EXPECT_EQ(baseline, settle_at(q.daemon().pid(), baseline));
}

TEST(Backpressure, PutGetUpdateRemoveCyclesLeakNoDescriptor) {
  mq::test::running_quarantine_t q;
  sorter_peer_t peer(q.sorter_socket());
  std::size_t baseline = 0;
  for (int cycle = 0; cycle < 500; ++cycle) {
    const std::uint64_t id = peer.put("cycle " + std::to_string(cycle), mq::SMTP_FRESH);
    mq::util::unique_fd_t fd;
    response_t r = peer.call(request(request_t::GET_ENTRY_REQUEST, id), -1, &fd);
    ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag()) << r.error().what();
    request_t update = request(request_t::UPDATE_ENTRY_REQUEST, id);
    update.mutable_entry_update()->set_message_size(7);
    r = peer.call(update, mq::test::memory_file_fd("updated").get());
    ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();
    r = peer.call(request(request_t::REMOVE_ENTRY_REQUEST, id));
    ASSERT_EQ(response_t::REMOVE_ENTRY_RESPONSE, r.tag()) << r.error().what();
    if (cycle == 0) baseline = open_descriptors_of(q.daemon().pid());
  }
  EXPECT_EQ(baseline, settle_at(q.daemon().pid(), baseline));
}

}  // namespace
