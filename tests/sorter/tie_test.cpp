// A Sorter connection on the event loop, driven from the far end of a socket
// pair with real frames and descriptors; the delegate keeps every request's
// completion so that the test decides when and how each one completes.
#include "sorter/tie.h"

#include <dirent.h>

#include <string>
#include <system_error>
#include <vector>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "mail_quarantine_sorter_ipc.pb.h"
#include "ov/error.h"
#include "store/store.h"
#include "support/peers.h"

namespace {

using mq::store::entry_t;
using mq::util::none_t;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;
template <class T>
using done_t = mq::sorter::tie_t::completion_t<T>;

struct delegate_t : mq::sorter::tie_t::delegate_t {
// GCC 12 with sanitizers sees an uninitialized optional inside connect; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  boost::signals2::connection subscribe_to_queue_change(mq::sorter::tie_t::queue_change_callback_t cb) override {
    return changed.connect(std::move(cb));
  }
#pragma GCC diagnostic pop
  void get_queue_chunk(mq::store::queue_chunk_request_t r, done_t<std::vector<mq::store::queue_key_t>> d) override {
    chunks.emplace_back(r, std::move(d));
  }
  void get_entry(std::int64_t id, done_t<entry_t> d) override {
    calls_while_building += !tie;
    gets.emplace_back(id, std::move(d));
  }
  void put_entry(entry_t e, done_t<std::uint64_t> d) override { puts.emplace_back(std::move(e), std::move(d)); }
  void update_entry(std::int64_t id, mq::store::entry_metadata_update_t u, boost::optional<mq::store::shared_file_t> f,
                    done_t<none_t> d) override {
    updates.push_back({id, std::move(u), std::move(f), std::move(d)});
  }
  void remove_entry(std::int64_t id, done_t<none_t> d) override { removes.emplace_back(id, std::move(d)); }
  void on_disconnected() override {
    calls_while_building += !tie;
    ++disconnects;
    tie.reset();
  }
  std::size_t requests() const { return chunks.size() + gets.size() + puts.size() + updates.size() + removes.size(); }

  struct update_t {
    std::int64_t id;
    mq::store::entry_metadata_update_t update;
    boost::optional<mq::store::shared_file_t> file;
    done_t<none_t> done;
  };
  mq::store::store_t::queue_changed_t changed;
  std::unique_ptr<mq::sorter::tie_t> tie;
  int disconnects = 0, calls_while_building = 0;
  std::vector<std::pair<mq::store::queue_chunk_request_t, done_t<std::vector<mq::store::queue_key_t>>>> chunks;
  std::vector<std::pair<std::int64_t, done_t<entry_t>>> gets;
  std::vector<std::pair<entry_t, done_t<std::uint64_t>>> puts;
  std::vector<update_t> updates;
  std::vector<std::pair<std::int64_t, done_t<none_t>>> removes;
};

request_t request(request_t::Tag tag, std::uint32_t serial, std::uint64_t id = 0) {
  request_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  if (id) m.set_entry_id(id);
  return m;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

struct sorter_tie : ::testing::Test {
  void SetUp() override { d.tie = std::make_unique<mq::sorter::tie_t>(peer.take_socket(), &d); }
  bool run_until(const std::function<bool()>& done) { return mq::test::run_until(io, done); }
  response_t receive(mq::util::unique_fd_t* fd = nullptr) {
    response_t m;
    EXPECT_TRUE(peer.receive(m, fd));
    return m;
  }

  boost::asio::io_context io;
  mq::test::log_capture_t log;
  mq::test::loop_peer_t peer{io};
  delegate_t d;
};

// Parts and samples come with updates and go back with gets, less the scan
// report; the spool file name never leaves the daemon.
TEST_F(sorter_tie, PartsOfAnUpdateComeBackFromAGet) {
  request_t update = request(request_t::UPDATE_ENTRY_REQUEST, 8, 42);
  mq::MimePart& part = *update.mutable_entry_update()->add_mime_part();
  part.set_path("1.2");
  part.set_scan_report("not kept");
  part.add_kavren_sample()->set_id("smp");
  part.mutable_kavren_sample(0)->add_analysis()->set_params("prm");
  part.mutable_kavren_sample(0)->mutable_analysis(0)->set_id("an");
  peer.send(update);
  peer.send(request(request_t::GET_ENTRY_REQUEST, 9, 42));
  ASSERT_TRUE(run_until([&] { return d.updates.size() == 1 && d.gets.size() == 1; }));
  EXPECT_EQ(42, d.updates[0].id);
  EXPECT_EQ(42, d.gets[0].first);
  entry_t stored;
  stored.metadata.id = 42;
  stored.metadata.message_filename = "secret-name.eml";
  stored.metadata.content = d.updates[0].update.content;
  stored.file = mq::store::shared_file_t(mq::test::memory_file_fd("hello\n").release(), 6);
  d.gets[0].second(std::move(stored));
  mq::util::unique_fd_t fd;
  const response_t r = receive(&fd);
  EXPECT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(9u, r.serial());
  ASSERT_TRUE(fd);
  EXPECT_EQ("hello\n", mq::test::read_fd(fd.get()));
  part.clear_scan_report();
  ASSERT_EQ(1, r.entry().mime_part_size());
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(part, r.entry().mime_part(0)))
      << r.entry().mime_part(0).DebugString();
  EXPECT_EQ(std::string::npos, r.SerializeAsString().find("secret-name"));
}

TEST_F(sorter_tie, ResponsesGoOutInCompletionOrderAndFailuresAsAlarms) {
  for (std::uint32_t serial : {1u, 2u, 3u}) peer.send(request(request_t::GET_ENTRY_REQUEST, serial, serial));
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 3; }));
  const std::system_error gone(ENOENT, std::generic_category(), "open");
  d.gets[2].second(mq::util::make_error_result<entry_t>(std::make_exception_ptr(gone)));
  for (std::size_t i : {0u, 1u}) {
    entry_t e;
    e.metadata.id = d.gets[i].first;
    e.file = mq::store::shared_file_t(mq::test::memory_file_fd("m").release(), 1);
    d.gets[i].second(std::move(e));
  }
  const response_t alarm = receive();
  EXPECT_EQ(response_t::ALARM, alarm.tag());
  EXPECT_EQ(3u, alarm.serial());
  EXPECT_EQ(ov::EC_NO_SUCH_ENTRY, alarm.error().code());
  EXPECT_EQ(gone.what(), alarm.error().what());
  EXPECT_EQ(1u, receive().serial());
  EXPECT_EQ(2u, receive().serial());
}

TEST_F(sorter_tie, DescriptorsThatComeWithOtherRequestsAreClosed) {
  const std::size_t before = open_descriptors();
  for (std::uint32_t serial = 1; serial <= 20; ++serial)
    peer.send(request(request_t::REMOVE_ENTRY_REQUEST, serial, serial), mq::test::memory_file_fd("x").get());
  ASSERT_TRUE(run_until([&] { return d.removes.size() == 20; }));
  EXPECT_EQ(before, open_descriptors());
}

// Bad requests the process-level table does not send end their own
// connection with the reason logged, and nothing of them reaches the store.
TEST_F(sorter_tie, ABadRequestEndsOnlyItsConnection) {
  const struct {
    std::vector<std::string> frames;
    std::string text;
    std::size_t forwarded;
  } rows[] = {
      // tag PUT_ENTRY_REQUEST, serial 1, status 9 (outside the enumeration)
      {{std::string("\x08\x02\x10\x01\x20\x09", 6)},
       "Sorter: message mq.Sorter2MailQuarantineMessage tagged PUT_ENTRY_REQUEST does not have field status set",
       0},
      {{std::string("\x08\x07", 2)}, "Sorter: mq.Sorter2MailQuarantineMessage: invalid message format", 0},
      {{request(request_t::GET_ENTRY_REQUEST, 5, 1).SerializeAsString(),
        request(request_t::REMOVE_ENTRY_REQUEST, 5, 1).SerializeAsString(),
        request(request_t::GET_ENTRY_REQUEST, 5, 1).SerializeAsString()},
       "Sorter: Repeated request serial",
       2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    delegate_t other;
    mq::test::loop_peer_t far(io);
    other.tie = std::make_unique<mq::sorter::tie_t>(far.take_socket(), &other);
    for (const auto& frame : row.frames) far.send_body(frame, mq::test::memory_file_fd("m").get());
    EXPECT_TRUE(far.wait_closed());
    EXPECT_EQ(1, other.disconnects);
    EXPECT_EQ(row.forwarded, other.requests());
    EXPECT_EQ(1u, log.count(ov::util::logger::error, row.text)) << ::testing::PrintToString(log.lines());
  }
  peer.send(request(request_t::GET_ENTRY_REQUEST, 1, 1));
  EXPECT_TRUE(run_until([&] { return d.gets.size() == 1; })) << "the fixture's connection ended too";
}

TEST_F(sorter_tie, QueueChangesReachTheSubscriberUntilItLeaves) {
  request_t sub;
  sub.set_tag(request_t::SUBSCRIBE_TO_QUEUE_CHANGES);
  peer.send(sub);
  peer.send(sub);
  peer.send(request(request_t::GET_ENTRY_REQUEST, 1, 1));
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1; }));
  auto change = std::make_shared<mq::store::queue_change_t>();
  change->status = mq::store::bcc_fresh;
  change->keys = {{4, 0}, {9, 0}};
  d.changed(change);
  const response_t r = receive();
  EXPECT_EQ(response_t::QUEUE_CHANGE_NOTIFICATION, r.tag());
  EXPECT_FALSE(r.has_serial());
  EXPECT_EQ(mq::BCC_FRESH, r.status());
  ASSERT_EQ(2, r.queue_key_list_size());
  EXPECT_EQ(9u, r.queue_key_list(1).entry_id());
  EXPECT_TRUE(peer.idle_and_silent()) << "one subscription, one notification";
  peer.close();
  ASSERT_TRUE(run_until([&] { return d.disconnects == 1; }));
  EXPECT_EQ(0u, d.changed.num_slots());
  // Late results of the ended connection go nowhere.
  d.changed(change);
  d.gets[0].second(mq::util::make_error_result<entry_t>(std::make_exception_ptr(std::runtime_error("late"))));
}

}  // namespace
