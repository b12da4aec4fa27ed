// Requests to the real daemon over both sockets, and connections that go
// wrong: real frames, real descriptors, a real store behind them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "support/held_open.h"
#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::test::client_peer_t;
using mq::test::sorter_peer_t;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;

// The bytes of entry `id`, and its envelope in `answer` when given.
std::string get(sorter_peer_t& s, std::uint64_t id, response_t* answer = nullptr) {
  mq::util::unique_fd_t fd;
  const response_t r = s.call(mq::test::entry_request(request_t::GET_ENTRY_REQUEST, id), -1, &fd);
  EXPECT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag()) << r.error().what();
  EXPECT_EQ(O_RDONLY, fd ? ::fcntl(fd.get(), F_GETFL) & O_ACCMODE : -1) << "read-only descriptor";
  if (answer) *answer = r;
  return fd ? mq::test::read_fd(fd.get()) : std::string();
}

// Every frame queued on the connection before the answer to a probe.
std::vector<response_t> frames_before_probe(sorter_peer_t& peer) {
  auto probe = mq::test::parse<request_t>(
      "tag: GET_ENTRY_IDS_REQUEST entry_id: 0 status: SMTP_FRESH next_access_ts: 0 limit: 1");
  probe.set_serial(peer.next_serial());
  peer.send(probe);
  std::vector<response_t> before;
  for (response_t m = peer.read(); m.serial() != probe.serial() || m.tag() != response_t::GET_ENTRY_IDS_RESPONSE;
       m = peer.read())
    before.push_back(m);
  return before;
}

// On the longest socket paths that fit.
class service : public ::testing::Test {
 protected:
  mq::test::running_quarantine_t q{[](auto& config, auto& dir) {
    const std::string base = dir.path().string() + "/";
    config.set_sorter_socket_path(base + std::string(107 - base.size(), 's'));
    config.set_client_socket_path(base + std::string(107 - base.size(), 'c'));
  }};
};

// Updates replace the file or only the metadata. A large entry is read and
// answered whole, off the event loop (the order that makes: tests/sorter).
// Each thread that did the work is named for a row of the design page's
// thread table, so a thread started anywhere else, or a row renamed, fails
// here.
TEST_F(service, puts_gets_updates_and_flushes_do_their_work_on_documented_threads) {
  sorter_peer_t s(q.sorter_socket());
  const std::string content = mq::test::pattern(300000) + std::string("\0\r\n", 3);
  // A new entry starts at 0 attempts whatever the Sorter says.
  auto e = mq::test::parse<mq::Entry>(
      R"(session_id: "S1" received_ts: 111 next_access_ts: 222 attempts: 9
         smtp_connect { helo: "relay.example" address: "192.0.2.7" port: 2525 proto: "ESMTP" }
         smtp_sender { sender: "from@example" esmtp: "SIZE=100" }
         smtp_recipient { recipient: "to1@example" esmtp: "NOTIFY=NEVER" }
         smtp_recipient { recipient: "to2@example" })");
  const std::uint64_t id = s.put(content, mq::BCC_ACCEPTED, e);

  response_t g;
  const std::string got = get(s, id, &g);
  EXPECT_EQ((std::tuple{content, id, mq::BCC_ACCEPTED}), (std::tuple{got, g.entry_id(), g.status()}));
  e.set_attempts(0);
  e.set_message_size(content.size());
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(e, g.entry())) << g.entry().DebugString();

  request_t update = mq::test::entry_request(request_t::UPDATE_ENTRY_REQUEST, id);
  const std::string second = "second, longer version\n";
  update.mutable_entry_update()->set_message_size(second.size());
  response_t r = s.call(update, mq::test::memory_file_fd(second).get());
  ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();
  EXPECT_EQ(second, get(s, id, &r));
  EXPECT_EQ(second.size(), r.entry().message_size());

  // Metadata only: a stated size without a file changes nothing.
  update = mq::test::parse<request_t>(
      "tag: UPDATE_ENTRY_REQUEST entry_id: " + std::to_string(id) +
      R"( entry_update { attempts: 4 next_access_ts: 5000 status: SMTP_ACCEPTED message_size: 1
                         smtp_recipient { recipient: "only@example" } })");
  r = s.call(update);
  ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();
  EXPECT_EQ(second, get(s, id, &r));
  EXPECT_EQ(std::make_tuple(std::uint64_t{second.size()}, mq::SMTP_ACCEPTED, 4u, std::uint64_t{5000}),
            std::make_tuple(r.entry().message_size(), r.status(), r.entry().attempts(), r.entry().next_access_ts()));
  ASSERT_EQ(1, r.entry().smtp_recipient_size());
  EXPECT_EQ("only@example", r.entry().smtp_recipient(0).recipient());

  mq::Entry large;
  for (int i = 0; i < 20000; ++i) large.add_smtp_recipient()->set_recipient("rcpt" + std::to_string(i) + "@example");
  get(s, s.put("large\n", mq::SMTP_FRESH, large), &r);
  ASSERT_EQ(20000, r.entry().smtp_recipient_size());
  EXPECT_EQ("rcpt19999@example", r.entry().smtp_recipient(19999).recipient());

  // A flush notifies subscribers once, with the keys at due time 0.
  sorter_peer_t watcher(q.sorter_socket());
  const request_t subscribe = mq::test::entry_request(request_t::SUBSCRIBE_TO_QUEUE_CHANGES, 0);
  watcher.send(subscribe);
  watcher.send(subscribe);  // no second notification for this
  EXPECT_TRUE(frames_before_probe(watcher).empty());

  mq::Entry later;
  later.set_next_access_ts(900);
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(s.put("m" + std::to_string(i), mq::BCC_FRESH, later));
  s.put("another queue", mq::SMTP_FRESH, later);
  later.set_next_access_ts(0);
  s.put("already due", mq::BCC_FRESH, later);

  client_peer_t admin(q.client_socket());
  EXPECT_EQ("Flushed 3 entries", admin.flush(mq::BCC_FRESH).report());
  const std::vector<response_t> heard = frames_before_probe(watcher);
  ASSERT_EQ(1u, heard.size());
  EXPECT_EQ((std::tuple{response_t::QUEUE_CHANGE_NOTIFICATION, false, mq::BCC_FRESH}),
            (std::tuple{heard[0].tag(), heard[0].has_serial(), heard[0].status()}));
  std::vector<std::uint64_t> keys;  // their due time 0: mqctl's watch
  for (const auto& k : heard[0].queue_key_list()) keys.push_back(k.entry_id());
  EXPECT_EQ(ids, keys);
  EXPECT_TRUE(frames_before_probe(s).empty());

  // The `names` in the first column of the thread table.
  std::ifstream page(MQ_SOURCE_DIR "/ARCHITECTURE.md");
  std::set<std::string> documented;
  bool table = false;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind("## ", 0) == 0) table = line == "## Threads of the daemon";
    if (!table || line.rfind("| ", 0) != 0) continue;
    const std::string first = line.substr(0, line.find(" |", 1));
    static const std::regex name("`([a-z-]+)`");
    for (std::sregex_iterator i(first.begin(), first.end(), name), end; i != end; ++i) documented.insert((*i)[1]);
  }
  ASSERT_GE(documented.size(), 5u);
  const std::string pid = std::to_string(q.daemon().pid());
  std::set<std::string> seen;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task")) {
    if (task.path().filename() == pid) continue;  // the event loop
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name.rfind("iou-wrk-", 0) == 0) name = "iou-wrk";  // io_uring's, one per open at a time
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer's own thread, named as the program.
    if (name == "orvane-mail-qua") continue;
#endif
    seen.insert(name);
    EXPECT_TRUE(documented.count(name)) << "thread " << task.path() << " \"" << name << "\" is in no row";
  }
  for (const char* always : {"mq-writer", "mq-files", "mq-reader", "mq-large"})
    EXPECT_TRUE(seen.count(always)) << always;
}

TEST_F(service, requests_leak_no_descriptor_and_a_sorter_that_does_not_read_holds_few) {
  sorter_peer_t other(q.sorter_socket());
  const std::uint64_t id = other.put("held open by every answer\n", mq::SMTP_FRESH);
  // A first cycle opens what stays open. (What each request does: the tests above.)
  const auto cycle = [&](int i) {
    const std::uint64_t cycled = other.put("cycle " + std::to_string(i), mq::SMTP_FRESH);
    get(other, cycled);
    request_t update = mq::test::entry_request(request_t::UPDATE_ENTRY_REQUEST, cycled);
    update.mutable_entry_update()->set_message_size(7);
    other.call(update, mq::test::memory_file_fd("updated").get());
    other.call(mq::test::entry_request(request_t::REMOVE_ENTRY_REQUEST, cycled));
  };
  cycle(0);
  const std::size_t baseline = mq::test::open_descriptors(q.daemon().pid());

  constexpr std::uint32_t count = 2000;
  sorter_peer_t hog(q.sorter_socket());
  std::string burst;
  request_t m = mq::test::entry_request(request_t::GET_ENTRY_REQUEST, id);
  for (std::uint32_t serial = 1; serial <= count; ++serial) {
    m.set_serial(serial);
    const std::string body = m.SerializeAsString();
    const auto size = static_cast<std::uint32_t>(body.size());
    burst.append(reinterpret_cast<const char*>(&size), sizeof size).append(body);
  }
  mq::test::send_raw(hog.fd(), burst.data(), burst.size());

  // The store works in order: once another Sorter is answered, the idle one's
  // answers taken so far (each with a descriptor) wait for it.
  std::size_t most = 0;
  for (int i = 1; i <= 200; ++i) {
    cycle(i);
    most = std::max(most, mq::test::open_descriptors(q.daemon().pid()));
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
  EXPECT_EQ((std::pair<std::size_t, std::uint32_t>{count, count}), (std::pair{serials.size(), *serials.rbegin()}));
  hog.close();
  std::size_t open = 0;
  mq::test::eventually([&] { return (open = mq::test::open_descriptors(q.daemon().pid())) == baseline; });
  EXPECT_EQ(baseline, open);
}

const std::string missing = "Error: Sorter: message mq.Sorter2MailQuarantineMessage tagged ";
const std::string required = "Error: Client: message mq.Client2MailQuarantineMessage tagged ";

// name, which socket (Sorter?), the request in text form, with a file?, the line logged
// clang-format off
const std::tuple<const char*, bool, const char*, bool, std::string> bad_requests[] = {
    {"get_without_serial", true, "tag: GET_ENTRY_REQUEST entry_id: 5", false,
     missing + "GET_ENTRY_REQUEST does not have field serial set"},
    {"put_without_file", true, "tag: PUT_ENTRY_REQUEST serial: 1 status: SMTP_FRESH", false,
     "Error: Sorter: mq.Sorter2MailQuarantineMessage: message file not specified"},
    {"update_file_without_size", true, "tag: UPDATE_ENTRY_REQUEST serial: 1 entry_id: 1", true,
     "Error: Sorter: Entry does not have message_size"},
    {"flush_without_status", false, "tag: FLUSH_QUEUE_REQUEST serial: 1", false,
     required + "FLUSH_QUEUE_REQUEST does not have field status set"}};
// clang-format on

// A Sorter that leaves with requests in flight drops only their results; a
// bad request ends only its own connection; a storm of connections past the
// descriptor limit ends nothing.
TEST_F(service, a_disconnect_a_bad_request_or_a_storm_ends_only_its_own_connections) {
  {
    sorter_peer_t leaving(q.sorter_socket());
    auto put = mq::test::parse<request_t>("tag: PUT_ENTRY_REQUEST status: BCC_ACCEPTED entry { message_size: 6 }");
    auto get = mq::test::parse<request_t>("tag: GET_ENTRY_REQUEST");
    for (std::uint32_t serial = 1; serial <= 20; ++serial) {
      put.set_serial(serial);
      leaving.send(put, mq::test::memory_file_fd("abcdef").get());
      get.set_serial(serial);
      get.set_entry_id(serial);
      leaving.send(get);
    }
    // Half-closed: the daemon reads all 40 frames before the end, no answer meets EPIPE.
    ::shutdown(leaving.fd(), SHUT_WR);
    ASSERT_TRUE(q.daemon().wait_log("Debug: Sorter: disconnected"));
    EXPECT_EQ(20u, q.daemon().count_log("Sorter --> GET_ENTRY_REQUEST"));
  }
  // The puts still reach the store: each row once its file is written.
  ASSERT_TRUE(q.daemon().wait_log("Queue metadata db: Put entry : id=", 20));
  client_peer_t client(q.client_socket());
  EXPECT_EQ((std::tuple<std::string, std::string, std::size_t>{"total_messages: 20 total_bytes: 120", "Ok", 0}),
            (std::tuple{client.stat().bcc_accepted_stat().ShortDebugString(), client.check(false).report(),
                        q.daemon().count_log("Error: ")}));
  sorter_peer_t sorter(q.sorter_socket());
  std::uint64_t puts = 0;
  for (const auto& [name, on_sorter, text, with_file, log] : bad_requests) {
    SCOPED_TRACE(name);
    const auto refused = [](auto&& victim, const char* text, bool with_file) {
      using request_t = typename std::decay_t<decltype(victim)>::request_t;
      victim.send(mq::test::parse<request_t>(text), with_file ? mq::test::memory_file_fd("x").get() : -1);
      EXPECT_TRUE(victim.wait_closed());
    };
    on_sorter ? refused(sorter_peer_t(q.sorter_socket()), text, with_file)
              : refused(client_peer_t(q.client_socket()), text, with_file);
    EXPECT_TRUE(q.daemon().wait_log(log));
    // The daemon and the other connections carry on.
    EXPECT_GT(sorter.put("still here\n", mq::SMTP_FRESH), 0u);
    EXPECT_EQ(++puts, client.stat().smtp_fresh_stat().total_messages());
  }

  // Each way a connection ends is taken once before the storm: UBSan needs a pipe the first time.
  const std::size_t errors = q.daemon().count_log("Error: Sorter: ");
  {
    // Gone with the greeting half read: an error other than the end of stream.
    sorter_peer_t rude(q.sorter_socket(), false);
    std::uint32_t size = 0;
    ASSERT_EQ(4, ::recv(rude.fd(), &size, 4, MSG_WAITALL));
  }
  ASSERT_TRUE(q.daemon().wait_log("Error: Sorter: ", errors + 1));

  sorter_peer_t before(q.sorter_socket());
  const std::size_t open = mq::test::open_descriptors(q.daemon().pid());
  const rlimit lowered{open + 6, open + 6};
  ASSERT_EQ(0, ::prlimit(q.daemon().pid(), RLIMIT_NOFILE, &lowered, nullptr)) << std::strerror(errno);
  std::vector<std::unique_ptr<sorter_peer_t>> storm;
  for (int i = 0; i < 40; ++i) storm.push_back(std::make_unique<sorter_peer_t>(q.sorter_socket(), false));
  EXPECT_TRUE(q.daemon().wait_log("Error: Cannot accept a connection on " + q.sorter_socket() +
                                  ": Too many open files; accepting again in 100 ms"));
  EXPECT_FALSE(q.daemon().exited());
  storm.clear();

  // Once descriptors are free again, connections are served as before.
  sorter_peer_t after(q.sorter_socket());
  EXPECT_EQ("after the storm\n", get(before, after.put("after the storm\n", mq::SMTP_FRESH)));
  EXPECT_EQ(107, q.stop());
}

// A get whose file an on-access scanner holds waits alone: the statistics,
// another Sorter connection's get and put are answered meanwhile, and the
// held get once the scanner lets its open through. Every way of opening:
// on the loop's thread with its standby, through io_uring, on threads.
class held_open : public ::testing::TestWithParam<std::tuple<const char*, const char*, const char*>> {};

TEST_P(held_open, a_held_open_holds_up_only_its_own_get) {
  const mq::test::env_var_t threads("MQ_OPEN_FILES_ON_THREAD", std::get<0>(GetParam()));
  const mq::test::env_var_t on_loop("MQ_OPEN_FILES_ON_LOOP", std::get<1>(GetParam()));
  mq::test::running_quarantine_t q;
  EXPECT_TRUE(q.daemon().wait_log(std::get<2>(GetParam())));
  EXPECT_EQ(std::get<1>(GetParam())[0] == '1', q.daemon().count_log("a standby thread serving") == 1);
  sorter_peer_t held(q.sorter_socket()), other(q.sorter_socket());
  const std::uint64_t held_id = held.put("held\n", mq::SMTP_FRESH);
  mq::test::held_open_t scanner(std::filesystem::directory_iterator(q.spool_dir() + "/queue")->path().string());
  if (!scanner.usable()) GTEST_SKIP() << scanner.reason();
  const std::uint64_t free_id = other.put("free\n", mq::SMTP_FRESH);

  request_t held_get = mq::test::entry_request(request_t::GET_ENTRY_REQUEST, held_id);
  held_get.set_serial(held.next_serial());
  held.send(held_get);
  // A get right behind it on the same connection is answered meanwhile.
  request_t behind = mq::test::entry_request(request_t::GET_ENTRY_REQUEST, free_id);
  behind.set_serial(held.next_serial());
  held.send(behind);
  ASSERT_TRUE(scanner.wait_open());
  client_peer_t client(q.client_socket());
  EXPECT_EQ(2u, client.stat().smtp_fresh_stat().total_messages());
  EXPECT_EQ("free\n", get(other, free_id));
  EXPECT_GT(other.put("more\n", mq::SMTP_FRESH), free_id);
  mq::util::unique_fd_t fd;
  EXPECT_EQ(behind.serial(), held.read(&fd).serial());
  scanner.allow();
  const response_t answer = held.read(&fd);
  ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, answer.tag()) << answer.error().what();
  EXPECT_EQ((std::pair<std::uint64_t, std::string>{held_id, "held\n"}),
            (std::pair{answer.entry_id(), fd ? mq::test::read_fd(fd.get()) : ""}));
  EXPECT_EQ(std::get<1>(GetParam())[0] == '1', q.daemon().count_log(" ms; opens go off the event loop for 10 s") == 1);
}

INSTANTIATE_TEST_SUITE_P(
    loop_io_uring_or_threads, held_open,
    ::testing::Values(std::tuple{"0", "1",
                                 "Message files are opened through io_uring once an open has waited; until then on "
                                 "the event loop, a standby thread serving"},
                      std::tuple{"0", "0", "Message files are opened through io_uring"},
                      std::tuple{"1", "0",
                                 "Message files are opened on a thread: io_uring is not available "
                                 "(switched off by MQ_OPEN_FILES_ON_THREAD)"}));

// A stop while the loop's own thread is held in an open still ends the
// daemon, at once when nothing is in progress (the held get's peer has
// gone).
TEST(held_open_stop, a_stop_while_the_loops_thread_is_held_ends_the_daemon) {
  mq::test::running_quarantine_t q;
  auto held = std::make_unique<sorter_peer_t>(q.sorter_socket());
  const std::uint64_t id = held->put("held\n", mq::SMTP_FRESH);
  mq::test::held_open_t scanner(std::filesystem::directory_iterator(q.spool_dir() + "/queue")->path().string());
  if (!scanner.usable()) GTEST_SKIP() << scanner.reason();
  request_t request = mq::test::entry_request(request_t::GET_ENTRY_REQUEST, id);
  request.set_serial(held->next_serial());
  held->send(request);
  ASSERT_TRUE(scanner.wait_open());
  held.reset();
  EXPECT_TRUE(q.daemon().wait_log("Sorter: disconnected"));
  EXPECT_EQ(107, q.stop());
}

}  // namespace
