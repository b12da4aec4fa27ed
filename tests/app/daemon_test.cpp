// The daemon as a process under a test supervisor: the monitor-channel
// flow, signals, statistics, the privilege drop, every way it ends, and
// crashes amid a storm of writes after which nothing acknowledged is lost.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <boost/algorithm/string/split.hpp>

#include "net/frame_io.h"
#include "store/metadata_reader.h"
#include "store/sqlite.h"
#include "store/store_support.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/storm.h"

namespace {

using namespace mq::test;
using in_t = ov::MailQuarantine2OverseerMessage;
using config_t = ov::MailQuarantineConfig;

const std::string ready_line = "Notice: MailQuarantine " MQ_VERSION ": Ready for service";

// How it ends on SIGTERM is a row of the exit table.
TEST(daemon, asks_applies_announces_and_counts_connections) {
  temp_dir_t dir;
  config_t config = make_test_config(dir.path().string());
  daemon_process_t d(daemon_command());
  // The bare request first; statistics run before any configuration.
  EXPECT_EQ(std::string("\x08\x01", 2), d.read_message().value_or(in_t()).SerializeAsString());
  const in_t stat = d.wait_message(in_t::MY_STAT_NOTIFICATION);
  EXPECT_EQ((std::pair{true, 0u}), (std::pair{stat.stat().has_clients(), stat.stat().clients()}));

  d.send_config(config, 17);
  const in_t info = d.wait_message(in_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ((std::pair{17u, true}), (std::pair{info.config_revision(), info.has_info()}));
  EXPECT_TRUE(d.wait_log(ready_line));

  {  // Connections on both sockets count.
    auto c1 = mq::net::connect_local(config.client_socket_path());
    auto c2 = mq::net::connect_local(config.client_socket_path());
    auto s1 = mq::net::connect_local(config.sorter_socket_path());
    EXPECT_TRUE(d.wait_clients(3));
    c2.reset();
    EXPECT_TRUE(d.wait_clients(2));
  }
  EXPECT_TRUE(d.wait_clients(0));
}

enum class stage_t { started, asked, ready, reconfiguring };

struct exit_case_t {
  const char* name;
  stage_t stage;  // where the action starts
  std::function<void(daemon_process_t&, config_t&, const temp_dir_t&)> action;
  int status;
  const char* status_name;        // nullptr: ends before there is a log
  std::string line;               // the line it logs (a prefix of it)
  std::string absent = {};        // a file in the directory that must not appear
  const char* monitor = nullptr;  // COM_ORVANE_MONITOR instead of a socket
  const char* plant = nullptr;    // a fault planted into the daemon
};
void PrintTo(const exit_case_t& row, std::ostream* os) { *os << row.name; }

void response_without(daemon_process_t& d, config_t& config, bool revision) {
  auto m = parse<ov::Overseer2MailQuarantineMessage>("tag: GET_CONFIG_RESPONSE error { code: EC_OK }");
  revision ? m.set_config_revision(1) : void(*m.mutable_config() = config);
  d.send_frame(m.SerializeAsString());
}

const std::string no_field =
    "Error: message ov.Overseer2MailQuarantineMessage tagged GET_CONFIG_RESPONSE does not have field ";
const std::string bad_size = "Error: invalid message size received";
const std::string term = "Notice: Termination signal received, exiting...";
const std::string lexical = "bad lexical cast: source type value could not be interpreted as target";

// Its put is never answered: the log may hold it or not.
void put_on_a_failing_log(daemon_process_t&, config_t& c, const mq::test::temp_dir_t&) {
  write_file(c.spool_dir() + "/fail-log-sync", "");
  sorter_peer_t s(c.sorter_socket_path());
  s.send(mq::test::parse<mq::Sorter2MailQuarantineMessage>(
             "tag: PUT_ENTRY_REQUEST serial: 1 status: SMTP_FRESH entry { message_size: 6 }"),
         mq::test::memory_file_fd("abcdef").get());
  EXPECT_TRUE(s.wait_closed());
}

const exit_case_t exit_cases[] = {
    {"response_without_revision", stage_t::asked, [](auto& d, auto& c, auto&) { response_without(d, c, false); }, 12,
     "EC_PROTOCOL_VIOLATION", no_field + "config_revision set", "spool"},
    {"response_without_config", stage_t::asked, [](auto& d, auto& c, auto&) { response_without(d, c, true); }, 12,
     "EC_PROTOCOL_VIOLATION", no_field + "config set", "spool"},
    {"unsolicited_response", stage_t::ready, [](auto& d, auto& c, auto&) { d.send_config(c, 2); }, 11,
     "EC_UNEXPECTED_MESSAGE", "Error: 1: Unexpected IPC message [ov.Error:11]"},
    {"channel_lost_when_ready", stage_t::ready, [](auto& d, auto&, auto&) { d.close_monitor(); }, 125,
     "EC_UNEXPECTED_ERROR", "Error: read failed"},
    {"zero_frame_length", stage_t::ready, [](auto& d, auto&, auto&) { d.send_bytes("\0\0\0\0", 4); }, 125,
     "EC_UNEXPECTED_ERROR", bad_size},
    // One byte above 64 MiB, little-endian.
    {"frame_length_above_the_limit", stage_t::asked, [](auto& d, auto&, auto&) { d.send_bytes("\x01\0\0\x04", 4); },
     125, "EC_UNEXPECTED_ERROR", bad_size, "spool"},
    {"unparsable_frame", stage_t::asked, [](auto& d, auto&, auto&) { d.send_frame("\xff\xff\xff"); }, 125,
     "EC_UNEXPECTED_ERROR", "Error: ov.Overseer2MailQuarantineMessage: invalid message format", "spool"},
    {"monitor_value_empty", stage_t::started, nullptr, 125, nullptr, "Error: " + lexical, "spool", ""},
    {"unknown_user_names_the_revision", stage_t::asked,
     [](auto& d, auto& c, auto&) {
       c.mutable_run_as_user()->Clear();
       c.mutable_run_as_user()->set_name("mq-no-such-user");
       d.send_config(c, 5);
     },
     102, "EC_BAD_CONFIG",
     "Error: Cannot apply configuration (revision 5): getpwnam(\"mq-no-such-user\"): No such user", "spool"},
    {"socket_path_too_long", stage_t::asked,
     [](auto& d, auto& c, auto& dir) {
       const std::string base = dir.path().string() + "/";
       c.set_client_socket_path(base + std::string(108 - base.size(), 'c'));
       d.send_config(c, 3);
     },
     102, "EC_BAD_CONFIG", "Error: Cannot apply configuration (revision 3): File name too long"},
    {"new_spool_directory", stage_t::reconfiguring,
     [](auto& d, auto& c, auto&) {
       c.set_spool_dir(c.spool_dir() + "2");
       c.set_client_socket_path(c.client_socket_path() + "2");
       d.send_config(c, 2);
     },
     0, "EC_OK", "Notice: Spool directory changed, will restart for config changes to take effect", "spool2"},
    {"planted_database_link", stage_t::asked,
     [](auto& d, auto& c, auto& dir) {
       std::filesystem::create_directories(c.spool_dir());
       std::filesystem::create_symlink(dir.file("elsewhere.db"), c.spool_dir() + "/queue.db");
       d.send_config(c, 4);
     },
     102, "EC_BAD_CONFIG", "Error: Cannot apply configuration (revision 4): ", "elsewhere.db"},
#ifdef POWERLOSS_PLANT_PATH
    {"commit_of_unknown_outcome", stage_t::ready, put_on_a_failing_log, 125, "EC_UNEXPECTED_ERROR",
     "Error: Queue metadata db: the outcome of a commit is unknown: ", "", nullptr, "log_sync_fails"},
#endif
    {"sigterm_before_configuration", stage_t::asked, [](auto& d, auto&, auto&) { d.send_signal(SIGTERM); }, 107,
     "EC_APP_TERMINATED", term, "spool"},
    {"sigint", stage_t::ready, [](auto& d, auto&, auto&) { d.send_signal(SIGINT); }, 107, "EC_APP_TERMINATED", term},
};

class daemon_exit : public ::testing::TestWithParam<exit_case_t> {};

TEST_P(daemon_exit, status_and_log_line) {
  const exit_case_t& c = GetParam();
  temp_dir_t dir;
  config_t config = make_test_config(dir.path().string());
  command_t command = daemon_command();
  if (c.monitor) command.env.push_back(std::string("COM_ORVANE_MONITOR=") + c.monitor);
#ifdef POWERLOSS_PLANT_PATH
  if (c.plant) command.env = {"LD_PRELOAD=" POWERLOSS_PLANT_PATH, std::string("MQ_POWERLOSS_PLANT=") + c.plant};
#endif
  daemon_process_t d(command);
  if (c.stage == stage_t::asked) d.wait_message(in_t::GET_CONFIG_REQUEST);
  if (c.stage >= stage_t::ready) d.answer_config(config, 1), d.wait_message(in_t::MY_INFO_NOTIFICATION);
  if (c.stage == stage_t::reconfiguring) d.send_signal(SIGHUP), d.wait_message(in_t::GET_CONFIG_REQUEST);
  if (c.action) c.action(d, config, dir);

  EXPECT_EQ(c.status, d.wait_exit());
  const std::string exit_line = "Notice: Exit with status " + std::to_string(c.status) + " (";
  EXPECT_EQ(c.status_name ? 1u : 0u, d.count_log(c.status_name ? exit_line + c.status_name + ")" : "Exit with status"));
  // The reason comes once, as a line of its own (a prefix when it names a system error).
  std::vector<std::string> lines;
  boost::split(lines, d.output(), [](char ch) { return ch == '\n'; });
  EXPECT_THAT(lines, testing::Contains(testing::StartsWith(c.line)).Times(1));
  EXPECT_TRUE(c.absent.empty() || !std::filesystem::exists(dir.file(c.absent))) << c.absent;
  // A revision that was not applied is never announced.
  if (c.stage != stage_t::started && c.monitor == nullptr) {
    for (auto m = d.read_message(); m; m = d.read_message()) EXPECT_NE(in_t::MY_INFO_NOTIFICATION, m->tag());
  }
}

INSTANTIATE_TEST_SUITE_P(cases, daemon_exit, ::testing::ValuesIn(exit_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(daemon_as_root, drops_privileges_and_hands_over_files_without_following_links) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root: changes owners and user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nullptr, nobody);
  const std::string uid = "\t" + std::to_string(nobody->pw_uid), gid = "\t" + std::to_string(nobody->pw_gid);
  constexpr uid_t foreign = 4242;
  temp_dir_t dir;
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));  // the dropped daemon still reaches its files
  config_t config = make_test_config(dir.path().string());
  config.mutable_run_as_user()->set_name("nobody");
  config.mutable_run_as_user()->clear_uid();
  config.mutable_log()->set_type(ov::Log::FILE);
  config.mutable_log()->set_path(dir.file("daemon.log"));
  write_file(dir.file("daemon.log"), "x");
  // Links planted in the spool directory to somebody else's file.
  const std::string spool = config.spool_dir();
  std::filesystem::create_directories(spool + "/sub");
  write_file(dir.file("secret"), "x");
  ASSERT_EQ(0, ::chown(dir.file("secret").c_str(), foreign, foreign));
  ASSERT_EQ(0, ::symlink(dir.file("secret").c_str(), (spool + "/planted").c_str()));
  ASSERT_EQ(0, ::link(dir.file("secret").c_str(), (spool + "/hard").c_str()));

  daemon_process_t d(daemon_command());
  d.answer_config(config, 1);
  d.wait_message(in_t::MY_INFO_NOTIFICATION);
  EXPECT_THAT(read_file("/proc/" + std::to_string(d.pid()) + "/status"),
              testing::HasSubstr("Uid:" + uid + uid + uid + uid + "\nGid:" + gid + gid + gid + gid + "\n"));
  const std::pair<uid_t, std::vector<std::string>> owners[] = {
      {nobody->pw_uid,
       {spool, spool + "/queue.db", spool + "/queue.db-wal", spool + "/queue.db-shm", config.sorter_socket_path(),
        dir.file("daemon.log")}},
      {0, {config.client_socket_path(), spool + "/sub", spool + "/planted"}},
      {foreign, {dir.file("secret")}}};
  for (const auto& [owner, paths] : owners)
    for (const std::string& path : paths) {
      struct stat st {};
      EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
      EXPECT_EQ(owner, st.st_uid) << path;
    }
  EXPECT_EQ(1u, d.count_log("Warning: chown " + spool + "/hard: Too many links"));
}

// Another process holds the database through a termination: past the drain
// limit the daemon ends after the one operation already running, and
// nothing queued behind it runs, so nothing is stored or changed unanswered.
TEST(daemon_termination, past_its_limit_runs_nothing_queued_behind_a_held_database) {
  running_quarantine_t q;
  sorter_peer_t sorter(q.sorter_socket());
  client_peer_t client(q.client_socket());
  mq::Entry due_later;
  due_later.set_next_access_ts(100);
  const auto kept = sorter.put("kept", mq::SMTP_FRESH, due_later);

  mq::store::sqlite::connection_t other(q.spool_dir() + "/queue.db");
  other.execute("BEGIN EXCLUSIVE;");
  const auto put = [&](const std::string& serial) {  // of session "p<serial>"
    sorter.send(parse<sorter_peer_t::request_t>("tag: PUT_ENTRY_REQUEST serial: " + serial +
                                                " status: SMTP_FRESH entry { session_id: \"p" + serial +
                                                "\" message_size: 2 }"),
                memory_file_fd("p" + serial).get());
  };
  put("1");
  client.send(parse<client_peer_t::request_t>("tag: FLUSH_QUEUE_REQUEST serial: 1 status: SMTP_FRESH"));
  put("2");
  // Both puts' files are written (they need no database): all is queued.
  const auto files = [&] {
    return std::distance(std::filesystem::directory_iterator(q.spool_dir() + "/queue"),
                         std::filesystem::directory_iterator());
  };
  eventually([&] { return files() >= 3; });
  ASSERT_EQ(files(), 3);
  q.daemon().send_signal(SIGTERM);
  // The limit is 10 s: two waits.
  const std::string past = "Warning: Requests still in progress after 10 seconds";
  ASSERT_TRUE(q.daemon().wait_log(past) || q.daemon().wait_log(past)) << q.daemon().output();
  // Whatever was queued would now go through.
  other.execute("COMMIT;");
  EXPECT_EQ(q.daemon().wait_exit(), 107);

  std::set<std::string> answered;
  sorter_peer_t::response_t r;
  while (!sorter.wait_closed(&r)) answered.insert("p" + std::to_string(r.serial()) + (r.has_error() ? " failed" : ""));
  client_peer_t::response_t f;
  while (!client.wait_closed(&f)) answered.insert(f.has_error() ? "flush failed" : "flush");

  // p1's and p2's rows, and whether the flush made the kept entry due.
  const auto count = [&](const std::string& what) { return std::to_string(answered.count(what)); };
  EXPECT_EQ(mq::store::test::sql(q.spool_dir() + "/queue.db",
                                 "SELECT (SELECT COUNT(*) FROM entry WHERE session_id_string = 'p1'), "
                                 "(SELECT COUNT(*) FROM entry WHERE session_id_string = 'p2'), "
                                 "(SELECT next_access_ts = 0 FROM entry WHERE id = " +
                                     std::to_string(kept) + ")"),
            std::vector<std::string>{count("p1") + "|" + count("p2") + "|" + count("flush")});
}

// The statistics come from counts kept as the daemon writes; whatever
// happened to the queue, they are what a pass over it finds. A crash amid a
// storm of writes loses nothing acknowledged.
TEST(daemon_statistics, agree_with_a_pass_over_the_queue) {
  running_quarantine_t q;
  const std::string db = q.spool_dir() + "/queue.db";
  using stats_t = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  const auto answer = [&] {
    const auto r = client_peer_t(q.client_socket()).stat();
    EXPECT_FALSE(r.has_error()) << r.error().what();
    stats_t out;
    for (const auto* s : {&r.smtp_fresh_stat(), &r.smtp_accepted_stat(), &r.bcc_fresh_stat(), &r.bcc_accepted_stat()})
      out.emplace_back(s->total_messages(), s->total_bytes());
    return out;
  };
  const auto pass = [&] {
    const auto stats = mq::store::metadata_reader_t(db, false).get_queue_stat();
    stats_t out;
    for (const auto& s : stats.stats) out.emplace_back(s.total_messages, s.total_bytes);
    return out;
  };
  // Writes of closed connections may still be landing: equal once they have.
  const auto agree = [&](const std::string& after) {
    SCOPED_TRACE(after);
    stats_t answered, passed;
    eventually([&] { return (answered = answer()) == (passed = pass()); });
    EXPECT_EQ(answered, passed);
    EXPECT_NE(passed, stats_t(4));
  };

  storm_t(q.sorter_socket(), storm_t::mixed).run(300);
  agree("a storm");
  std::vector<std::pair<std::uint64_t, std::vector<std::string>>> outcomes;
  {
    storm_t storm(q.sorter_socket(), storm_t::mixed);
    storm.run(100);
    q.daemon().send_signal(SIGKILL);
    EXPECT_EQ(q.daemon().wait_exit(), 128 + SIGKILL);
    outcomes = storm.outcomes(storm_t::now_ns());
  }
  q.restart();
  agree("a crash");
  // Nothing acknowledged before the crash is lost.
  sorter_peer_t reader(q.sorter_socket());
  for (const auto& [id, allowed] : outcomes) {
    mq::util::unique_fd_t file;
    const auto r = reader.call(
        parse<sorter_peer_t::request_t>("tag: GET_ENTRY_REQUEST entry_id: " + std::to_string(id)), -1, &file);
    const std::string stored = r.has_error() ? "" : read_fd(file.get());
    EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), stored))
        << "entry " << id << " holds " << stored.substr(0, stored.find('\n')) << r.error().what();
  }

  mq::store::test::sql(db,
                       "UPDATE entry SET status = 3, message_size = message_size + 7 WHERE id % 3 = 0;"
                       " UPDATE entry SET status = 1 WHERE id % 3 = 1;");
  agree("a change by another process");
  EXPECT_EQ(q.stop(), 107);
}

}  // namespace
