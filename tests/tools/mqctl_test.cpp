// mqctl against a live daemon: a session from put to remove, selections and
// their outputs, bulk actions, shape, wrong arguments; and the installed tool.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "support/process.h"

namespace {

using google::protobuf::Struct;
using mq::test::program_result_t;
using words_t = std::vector<std::string>;

words_t lines_of(const std::string& text) {
  words_t out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// An output with each run of blanks made one: the columns without their widths.
std::string squeeze(const std::string& out) {
  std::string s;
  for (const char c : out)
    if (c != ' ' || (!s.empty() && s.back() != ' ')) s += c;
  return s;
}

Struct parse_json(const std::string& text) {
  Struct s;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(text, &s).ok()) << text;
  return s;
}
double number(const Struct& s, const std::string& key) { return s.fields().at(key).number_value(); }

std::string iso_utc(std::uint64_t ts) {
  const std::time_t t = static_cast<std::time_t>(ts);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

program_result_t mqctl(const words_t& args, const words_t& env = {}, const std::string& cwd = "") {
  return mq::test::run_program({MQCTL_PATH, args, env, "", cwd});
}

// What a bulk action may change: entry name to status and next access time.
using snapshot_t = std::map<std::string, std::pair<std::string, std::uint64_t>>;

// A daemon with its sockets where mqctl looks without options: under
// $XDG_STATE_HOME/orvane-mail-quarantine.
class mqctl_test : public ::testing::Test {
 protected:
  program_result_t run(const words_t& args) { return mqctl(args, {"XDG_STATE_HOME=" + q.file("state")}); }
  // Runs, expects success and a silent standard error; the standard output.
  std::string ok(const words_t& args) {
    const program_result_t r = run(args);
    EXPECT_EQ(0, r.status) << ::testing::PrintToString(args) << r.err;
    EXPECT_EQ("", r.err) << ::testing::PrintToString(args);
    return r.out;
  }
  std::string put(const std::string& content, words_t args) {
    mq::test::write_file(q.file("in.eml"), content);
    args.insert(args.begin(), {"put", q.file("in.eml")});
    const std::string out = ok(args);
    EXPECT_EQ(out.size() - 1, out.find_first_not_of("0123456789")) << out;
    return out.substr(0, out.size() - 1);
  }

  // Six entries of a few domains, senders and due times, known by name.
  void fill() {
    now_ = static_cast<std::uint64_t>(std::time(nullptr));
    add("e1", "smtp-fresh", "a@one.org", {"x@example.org"}, 0, "S-a", 0);
    add("e2", "smtp-fresh", "b@two.org", {"y@spam.test"}, now_ + 7200, "S-b", 3);
    add("e3", "smtp-fresh", "a@one.org", {"z@spam.test", "w@example.org"}, now_ - 100, "T-c", 0);
    add("e4", "smtp-accepted", "c@three.net", {"v@example.org"}, now_ + 2 * 86400, "S-d", 1);
    add("e5", "smtp-accepted", "", {"u@other.net"}, 0, "", 0);
    add("e6", "bcc-fresh", "a@one.org", {"t@other.net"}, now_ + 600, "", 0);
  }
  void add(const std::string& name, const std::string& status, const std::string& sender, const words_t& rcpts,
           std::uint64_t next, const std::string& session, int attempts) {
    words_t args{"--status", status, "--next-access-ts", std::to_string(next), "--sender", sender};
    for (const auto& r : rcpts) args.insert(args.end(), {"--rcpt", r});
    if (!session.empty()) args.insert(args.end(), {"--session-id", session});
    const std::string id = put("Subject: held\r\n\r\nbody\r\n", args);
    ids_[name] = id;
    names_[id] = name;
    if (attempts) ok({"update", id, "--attempts", std::to_string(attempts)});
  }
  std::string id(const std::string& name) const { return ids_.at(name); }
  std::string name(const std::string& id) const { return names_.count(id) ? names_.at(id) : "?" + id; }
  // Status and next access time of each entry listed as JSON lines.
  snapshot_t snapshot(words_t selection = {"--all"}) {
    snapshot_t s;
    selection.insert(selection.begin(), {"list", "--json"});
    for (const auto& line : lines_of(ok(selection))) {
      const Struct e = parse_json(line);
      s[name(std::to_string(static_cast<std::uint64_t>(number(e, "id"))))] = {
          e.fields().at("status").string_value(), static_cast<std::uint64_t>(number(e, "next_access_ts"))};
    }
    return s;
  }

  mq::test::running_quarantine_t q{[](auto& config, auto& dir) {
    std::filesystem::create_directories(dir.file("state/orvane-mail-quarantine"));
    config.set_sorter_socket_path(dir.file("state/orvane-mail-quarantine/sorter.sock"));
    config.set_client_socket_path(dir.file("state/orvane-mail-quarantine/client.sock"));
  }};
  std::uint64_t now_ = 0;
  std::map<std::string, std::string> ids_, names_;
};

const std::string empty_stat =
    "STATUS MESSAGES BYTES\nsmtp-fresh 0 0\nsmtp-accepted 0 0\nbcc-fresh 0 0\nbcc-accepted 0 0\ntotal 0 0\n";

TEST_F(mqctl_test, session_from_put_to_remove) {
  EXPECT_EQ(empty_stat, squeeze(ok({"stat"})));
  const std::string message = "From: from@example\r\nSubject: quarantined\r\n\r\nbody \"quoted\"\r\n";
  const std::string id =
      put(message, {"--sender", "from@example", "--rcpt", "a@example", "--rcpt", "b@example", "--status", "bcc-fresh",
                    "--session-id", "S-1", "--received-ts", "100", "--next-access-ts", "50"});
  // get, to a file and to standard output
  EXPECT_EQ("id: " + id + "\nstatus: bcc-fresh\nsession_id: S-1\nreceived_ts: 100\nnext_access_ts: 50\nattempts: 0\n" +
                "message_size: " + std::to_string(message.size()) +
                "\nsender: from@example\nrecipient: a@example\nrecipient: b@example\nwritten to: " + q.file("out.eml") +
                "\n",
            squeeze(ok({"get", id, "--out", q.file("out.eml")})));
  EXPECT_EQ(message, mq::test::read_file(q.file("out.eml")));
  program_result_t r = run({"get", id});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(message, r.out);

  // list (times as stored with --epoch) and stat
  EXPECT_EQ("ID NEXT_ACCESS_TS ATTEMPTS SESSION_ID SENDER RECIPIENTS\n" + id +
                " 50 0 S-1 from@example a@example,b@example\n1 entry in bcc-fresh\n",
            squeeze(ok({"list", "bcc-fresh", "--epoch"})));
  EXPECT_NE(std::string::npos, squeeze(ok({"stat"})).find("\nbcc-fresh 1 " + std::to_string(message.size()) + "\n"));

  // update: metadata, then the file
  EXPECT_EQ("Updated entry " + id + "\n", ok({"update", id, "--attempts", "3", "--status", "smtp-accepted"}));
  EXPECT_EQ("{\"id\":" + id +
                ",\"status\":\"smtp-accepted\",\"next_access_ts\":50,\"attempts\":3,\"session_id\":\"S-1\","
                "\"sender\":\"from@example\",\"recipients\":[\"a@example\",\"b@example\"]}\n",
            ok({"list", "smtp-accepted", "--json"}));
  EXPECT_EQ("ID NEXT_ACCESS ATTEMPTS SESSION_ID SENDER RECIPIENTS\n0 entries in bcc-fresh\n",
            squeeze(ok({"list", "bcc-fresh"})));
  mq::test::write_file(q.file("second.eml"), "a replacement message\n");
  EXPECT_EQ("Updated entry " + id + "\n", ok({"update", id, "--file", q.file("second.eml")}));
  EXPECT_EQ("a replacement message\n", run({"get", id}).out);

  // due ids, flush (which watch hears of), check
  mq::test::daemon_process_t watch(
      {MQCTL_PATH, {"--sorter-socket", q.sorter_socket(), "watch", "--count", "1"}, {"COM_ORVANE_MONITOR"}});
  ASSERT_TRUE(watch.wait_log("Watching queue changes of " + q.spool_dir() + " (Ctrl-C to stop)"));
  EXPECT_EQ("ID  NEXT_ACCESS_TS\n0 ids in smtp-accepted\n", ok({"ids", "smtp-accepted", "--due", "49"}));
  EXPECT_EQ("Flushed 1 entries\n", ok({"flush", "smtp-accepted"}));
  EXPECT_TRUE(watch.wait_log("smtp-accepted: " + id + ":0"));
  EXPECT_EQ(0, watch.wait_exit());
  EXPECT_EQ("{\"status\":\"smtp-accepted\",\"keys\":[{\"entry_id\":" + id + ",\"next_access_ts\":0}]}\n",
            ok({"ids", "smtp-accepted", "--due", "0", "--json"}));
  EXPECT_EQ("Nothing to repair\n", ok({"check", "--fix"}));

  // remove, and the daemon's errors that follow
  EXPECT_EQ("Removed entry " + id + "\n", ok({"remove", id}));
  r = run({"get", id, "--out", q.file("gone.eml")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.find("mqctl: the daemon answered with an error: EC_")) << r.err;
  EXPECT_EQ(empty_stat, squeeze(ok({"stat"})));
  EXPECT_EQ(
      "{\"smtp-fresh\":{\"messages\":0,\"bytes\":0},\"smtp-accepted\":{\"messages\":0,\"bytes\":0},"
      "\"bcc-fresh\":{\"messages\":0,\"bytes\":0},\"bcc-accepted\":{\"messages\":0,\"bytes\":0}}\n",
      ok({"stat", "--json"}));
  // A failed put answers at once (its record may linger until undone).
  mq::test::write_file(q.file("empty.eml"), "");
  r = run({"put", q.file("empty.eml")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("mqctl: the daemon answered with an error: EC_")) << r.err;
}

TEST_F(mqctl_test, selections_counts_json_lines_and_shape) {
  fill();
  const std::vector<std::pair<words_t, std::set<std::string>>> rows = {
      {{"--all"}, {"e1", "e2", "e3", "e4", "e5", "e6"}},
      {{"smtp-fresh"}, {"e1", "e2", "e3"}},
      {{"--all", "--sender", "^A@"}, {"e1", "e3", "e6"}},
      {{"--all", "--rcpt", "@spam\\.test$"}, {"e2", "e3"}},
      {{"--all", "--domain", "example.org"}, {"e1", "e3", "e4"}},
      {{"--all", "--domain", "ONE.org"}, {"e1", "e3", "e6"}},
      {{"--all", "--session", "^S-"}, {"e1", "e2", "e4"}},
      {{"--all", "--attempts", "3"}, {"e2"}},
      {{"--all", "--attempts-min", "1"}, {"e2", "e4"}},
      {{"--all", "--due"}, {"e1", "e3", "e5"}},
      {{"--all", "--not-due"}, {"e2", "e4", "e6"}},
      {{"--all", "--next-before", "1h"}, {"e1", "e3", "e5", "e6"}},
      {{"--all", "--next-after", "1d"}, {"e4"}},
      {{"--all", "--next-after", iso_utc(now_ + 3600)}, {"e2", "e4"}},
      {{"smtp-fresh", "--limit", "2"}, {"e1", "e3"}},
      {{"smtp-fresh", "--after", id("e3") + ":" + std::to_string(now_ - 100)}, {"e2"}},
      {{"smtp-accepted", "--domain", "other.net", "--due"}, {"e5"}},
      {{"bcc-accepted"}, {}},
  };
  for (const auto& [selection, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(selection));
    words_t args{"list"};
    args.insert(args.end(), selection.begin(), selection.end());
    args.push_back("--ids");
    std::set<std::string> names;
    for (const auto& line : lines_of(ok(args))) names.insert(name(line));
    EXPECT_EQ(expected, names);
    args.back() = "--count";
    EXPECT_EQ(std::to_string(expected.size()) + "\n", ok(args));
  }

  // One JSON object a line (the session above checks every field).
  EXPECT_EQ((snapshot_t{{"e2", {"smtp-fresh", now_ + 7200}}, {"e3", {"smtp-fresh", now_ - 100}}}),
            snapshot({"--all", "--domain", "spam.test"}));
  EXPECT_EQ(3, number(parse_json(ok({"list", "--all", "--json", "--not-due", "--count"})), "count"));

  // Readable listing: "due" for 0 and past times, UTC on request; a cut
  // page names the key to go on from.
  EXPECT_EQ("ID NEXT_ACCESS ATTEMPTS SESSION_ID SENDER RECIPIENTS\n" + id("e1") +
                " due 0 S-a a@one.org x@example.org\n" + id("e3") + " due 0 T-c a@one.org z@spam.test,w@example.org\n" +
                id("e2") + " " + iso_utc(now_ + 7200) + " 3 S-b b@two.org y@spam.test\n3 entries in smtp-fresh\n",
            squeeze(ok({"list", "smtp-fresh", "--utc"})));
  const std::string page = ok({"list", "smtp-fresh", "--limit", "2"});
  const std::string tail = "2 entries in smtp-fresh\nnext page: --after " + id("e3") + ":" + std::to_string(now_ - 100);
  EXPECT_EQ(page.size() - tail.size() - 1, page.find(tail + "\n")) << page;

  // shape: the total row counts what stat counts, once in each bucket set.
  const double messages = 6;
  ASSERT_NE(std::string::npos, squeeze(ok({"stat"})).find("\ntotal 6 ")) << "stat counts the six";
  for (const std::string by : {"sender", "domain"}) {
    SCOPED_TRACE(by);
    const Struct shape = parse_json(ok({"shape", "--by", by, "--top", "2", "--json"}));
    const Struct& total = shape.fields().at("total").struct_value();
    EXPECT_EQ(messages, number(total, "total"));
    double due = 0, attempts = 0;
    for (const auto& [k, v] : total.fields().at("due").struct_value().fields()) due += v.number_value();
    for (const auto& [k, v] : total.fields().at("attempts").struct_value().fields()) attempts += v.number_value();
    EXPECT_EQ(messages, due);
    EXPECT_EQ(messages, attempts);
    EXPECT_EQ(3, number(total.fields().at("due").struct_value(), "due"));
    double rows = number(shape.fields().at("others").struct_value(), "total");
    for (const auto& r : shape.fields().at("rows").list_value().values()) rows += number(r.struct_value(), "total");
    // By sender every entry is in one row; by domain e3 is in two.
    EXPECT_EQ(messages + (by == "domain" ? 1 : 0), rows);
  }
  EXPECT_EQ(
      "SENDER_DOMAIN TOTAL due <5m <1h <4h <1d later att:0 att:1 att:2-4 att:5-9 att:10+\n"
      "one.org 2 2 0 0 0 0 0 2 0 0 0 0\ntwo.org 1 0 0 0 1 0 0 0 0 1 0 0\ntotal 3 2 0 0 1 0 0 2 0 1 0 0\n",
      squeeze(ok({"shape", "smtp-fresh", "--by", "sender"})));
}

TEST_F(mqctl_test, bulk_actions_change_exactly_the_selection) {
  fill();
  snapshot_t expected = snapshot();
  ASSERT_EQ(6u, expected.size());

  // A dry run tells and changes nothing.
  EXPECT_EQ("Would remove 2 entries of all statuses, --domain other.net\nDry run: nothing changed\n",
            ok({"remove", "--all", "--domain", "other.net", "--dry-run"}));
  EXPECT_EQ(expected, snapshot());

  EXPECT_EQ(
      "Will retry 2 entries of all statuses, --domain spam.test (make them due now)\n"
      "Retried 2 of 2 entries: 0 already gone, 0 changed meanwhile, 0 failed\n",
      ok({"retry", "--all", "--domain", "spam.test", "--yes"}));
  expected["e2"].second = expected["e3"].second = 0;
  EXPECT_EQ(expected, snapshot());

  EXPECT_EQ(
      "Will move 2 entries of smtp-fresh, --sender '^a@' to bcc-accepted\n"
      "Moved 2 of 2 entries: 0 already gone, 0 changed meanwhile, 0 failed\n",
      ok({"move", "smtp-fresh", "--sender", "^a@", "--to", "bcc-accepted", "--yes"}));
  expected["e1"].first = expected["e3"].first = "bcc-accepted";
  EXPECT_EQ(expected, snapshot());

  const std::string out = ok({"delay", "1h", id("e5"), "--yes"});
  EXPECT_EQ(0u, out.find("Will delay 1 entry given by id until ")) << out;
  EXPECT_NE(std::string::npos, out.find("\nDelayed 1 of 1 entry: 0 already gone, 0 changed meanwhile, 0 failed\n"));
  const snapshot_t delayed = snapshot();
  EXPECT_GE(delayed.at("e5").second, now_ + 3600);
  EXPECT_LE(delayed.at("e5").second, static_cast<std::uint64_t>(std::time(nullptr)) + 3600);
  expected["e5"].second = delayed.at("e5").second;
  EXPECT_EQ(expected, delayed);

  EXPECT_EQ(
      "Will remove 3 entries given by id\n"
      "Removed 2 of 3 entries: 1 already gone, 0 changed meanwhile, 0 failed\n",
      ok({"remove", id("e5"), id("e6"), "999999", id("e6"), "--yes"}));
  expected.erase("e5");
  expected.erase("e6");
  EXPECT_EQ(expected, snapshot());
  EXPECT_EQ("Will retry 0 entries of all statuses, --domain nowhere.test (make them due now)\nNothing to do\n",
            ok({"retry", "--all", "--domain", "nowhere.test"}));
}

TEST(mqctl, wrong_arguments_name_the_argument) {
  mq::test::temp_dir_t dir;  // no daemon: --state-dir names a folder without sockets
  const std::string absent = dir.file("absent.eml");
  const std::string no_daemon = ": No such file or directory (is the daemon running?)";
  const std::vector<std::tuple<words_t, int, std::string>> rows = {
      // arguments, status, what the error names
      {{}, 2, "no command given"},
      {{"get", "0"}, 2, "invalid entry id: '0'"},
      {{"stat", "--fix"}, 2, "unknown option --fix"},
      {{"list"}, 2, "list: name a STATUS or give --all"},
      {{"list", "fresh"}, 2, "unknown status 'fresh' (smtp-fresh, smtp-accepted, bcc-fresh or bcc-accepted)"},
      {{"list", "smtp-fresh", "--all"}, 2, "--all"},
      {{"list", "--all", "--attempts", "x"}, 2, "--attempts"},
      {{"list", "--all", "--sender", "("}, 2, "--sender"},
      {{"list", "--all", "--next-before", "soon"}, 2, "--next-before"},
      {{"list", "--all", "--limit", "0"}, 2, "--limit"},
      {{"list", "--all", "--domain", "a@b"}, 2, "--domain"},
      {{"list", "--all", "--ids", "--count"}, 2, "--ids"},
      {{"move", "smtp-fresh", "--yes"}, 2, "--to"},
      {{"move", "smtp-fresh", "--to", "smtp-fresh"}, 2, "--to"},
      {{"delay", "soon", "--all"}, 2, "'soon'"},
      {{"remove", "5", "--domain", "x.org"}, 2, "selection"},
      {{"shape", "--by", "color"}, 2, "--by"},
      {{"top", "--interval", "0"}, 2, "--interval"},
      {{"help", "frob"}, 2, "'frob'"},
      {{"remove", "3"}, 3, "mqctl: cannot connect to the Sorter socket " + dir.file("sorter.sock") + no_daemon},
      {{"stat"}, 3, "mqctl: cannot connect to the client socket " + dir.file("client.sock") + no_daemon},
      {{"put", absent}, 4, "mqctl: cannot open " + absent + ": No such file or directory\n"},
  };
  for (const auto& [words, status, named] : rows) {
    SCOPED_TRACE(::testing::PrintToString(words));
    words_t args{"--state-dir", dir.path().string()};
    args.insert(args.end(), words.begin(), words.end());
    const program_result_t r = mqctl(args);
    EXPECT_EQ(status, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("mqctl: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(named)) << r.err;
    // Only a usage error has the hint, right after its one line.
    EXPECT_EQ(status == 2, r.err.find("\nTry 'mqctl --help'.\n") == r.err.find('\n')) << r.err;
  }
  // Without $XDG_STATE_HOME the sockets are in ./var.
  const program_result_t r = mqctl({"stat"}, {"XDG_STATE_HOME"}, dir.path().string());
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("mqctl: cannot connect to the client socket var/client.sock" + no_daemon + "\n", r.err);
}

TEST(mqctl, installs_into_a_prefix) {
  mq::test::temp_dir_t dir;
  const program_result_t install =
      mq::test::run_program({MQ_CMAKE_COMMAND, {"--install", MQ_BINARY_DIR, "--prefix", dir.path().string()}});
  ASSERT_EQ(0, install.status) << install.out << install.err;
  for (const char* file : {"sbin/orvane-mail-quarantine", "sbin/mq-overseer", "share/man/man1/mqctl.1.gz",
                           "share/man/man8/mq-overseer.8.gz", "share/man/man8/orvane-mail-quarantine.8.gz",
                           "share/bash-completion/completions/mqctl"})
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file(file))) << file;
  const program_result_t help = mq::test::run_program({dir.file("bin/mqctl"), {"--help"}});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("Usage: mqctl [OPTIONS] COMMAND [ARGS]\n")) << help.out;
  const program_result_t shape = mq::test::run_program({dir.file("bin/mqctl"), {"help", "shape"}});
  EXPECT_EQ(0u, shape.out.find("Usage: mqctl [OPTIONS] shape ")) << shape.out;
}

}  // namespace
