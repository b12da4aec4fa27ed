#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/scripted_daemon.h"

namespace {

using google::protobuf::Struct;
using words_t = std::vector<std::string>;

words_t split(const std::string& text, char separator = '\n') {
  words_t out;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) out.push_back(part);
  return out;
}

// The columns without their widths.
std::string squeeze(const std::string& out) {
  std::string s;
  for (const char c : out)
    if (c != ' ' || (!s.empty() && s.back() != ' ')) s += c;
  return s;
}

Struct parse_json(const std::string& text, Struct s = {}) {
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(text, &s).ok()) << text;
  return s;
}
double number(const Struct& s, const std::string& key) { return s.fields().at(key).number_value(); }

using snapshot_t = std::map<std::string, std::pair<std::string, std::uint64_t>>;

// A daemon with its sockets where mqctl looks without options.
class mqctl_test : public ::testing::Test {
 protected:
  auto run(const words_t& args, const std::string& input = "", const std::string& to = "") {
    return mq::test::run_program({MQCTL_PATH, args, {"XDG_STATE_HOME=" + q.file("state")}, "", "", input, to});
  }
  std::string ok(const words_t& args) {
    const auto r = run(args);
    EXPECT_EQ((std::pair<int, std::string>{0, ""}), (std::pair{r.status, r.err})) << ::testing::PrintToString(args);
    return r.out;
  }
  void steps(const std::vector<std::pair<words_t, std::string>>& rows) {
    for (const auto& [args, out] : rows) EXPECT_EQ(out, squeeze(ok(args))) << ::testing::PrintToString(args);
  }
  std::string put(const std::string& content, words_t args) {
    mq::test::write_file(q.file("in.eml"), content);
    args.insert(args.begin(), {"put", q.file("in.eml")});
    const std::string out = ok(args);
    return out.substr(0, out.find('\n'));
  }

  // Six entries, e1 to e6, of a few domains, senders and due times.
  void fill() {
    now_ = static_cast<std::uint64_t>(std::time(nullptr));
    const auto at = [&](std::int64_t from_now) { return " --next-access-ts " + std::to_string(now_ + from_now); };
    for (const std::string& args :
         words_t{"smtp-fresh --sender a@one.org --rcpt x@example.org --session-id S-a --next-access-ts 0",
                 "smtp-fresh --sender b@two.org --rcpt y@spam.test --session-id S-b" + at(7200),
                 "smtp-fresh --sender a@one.org --rcpt z@spam.test --rcpt w@example.org --session-id T-c" + at(-100),
                 "smtp-accepted --sender c@three.net --rcpt v@mx.Example.org --session-id S-d --received-ts -3h" +
                     at(2 * 86400),
                 "smtp-accepted --rcpt u@other.net --next-access-ts now",
                 "bcc-fresh --sender a@one.org --rcpt t@other.net --rcpt Üli@Bücher.de --received-ts 2020-01-01T00:00Z "
                 "--next-access-ts 10m"})
      ids_.push_back(put(ids_.size() == 2 ? std::string(3000, 'x') : "Subject: held\r\n\r\nbody\r\n",
                         split("--status " + args, ' ')));
    ok({"update", id("e2"), "--attempts", "3"});
    ok({"update", id("e4"), "--attempts", "1"});
  }
  std::string id(const std::string& name) const { return ids_.at(std::stoul(name.substr(1))); }
  snapshot_t snapshot() {
    snapshot_t s;
    for (const auto& line : split(ok({"list", "--all", "--json"}))) {
      const Struct e = parse_json(line);
      s[std::to_string(static_cast<std::uint64_t>(number(e, "id")))] = {
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
  words_t ids_{"-"};  // of e1 to e6, in the order added
};

TEST_F(mqctl_test, session_from_put_to_remove) {
  const std::string message = "From: from@example\r\nSubject: quarantined\r\n\r\nbody \"quoted\"\r\n";
  const std::string id =
      put(message, {"--sender", "from@example", "--rcpt", "a@example", "--rcpt", "b@example", "--status", "bcc-fresh",
                    "--session-id", "S-1", "--received-ts", "100", "--next-access-ts", "50"});
  const std::string size = std::to_string(message.size());
  EXPECT_EQ(message, run({"get", id}).out);  // the metadata goes to standard error
  EXPECT_THAT(ok({"--version"}), ::testing::StartsWith("mqctl 1"));
  steps({{{"get", id, "--out", q.file("out.eml")},
          "id: " + id + "\nstatus: bcc-fresh\nsession_id: S-1\nreceived_ts: 100\nnext_access_ts: 50\nattempts: 0\n" +
              "message_size: " + size + "\nsender: from@example\nrecipient: a@example\nrecipient: b@example\n" +
              "written to: " + q.file("out.eml") + "\n"},
         {{"list", "bcc-fresh", "--epoch"},
          "ID RECEIVED_TS SIZE NEXT_ACCESS_TS ATTEMPTS SESSION_ID SENDER RECIPIENTS\n" + id + " 100 " + size +
              " 50 0 S-1 from@example a@example,b@example\n1 entry in bcc-fresh\n"},
         {{"stat"},
          "STATUS MESSAGES BYTES\nsmtp-fresh 0 0\nsmtp-accepted 0 0\nbcc-fresh 1 " + size +
              "\nbcc-accepted 0 0\ntotal 1 " + size + "\n"},
         {{"update", id, "--attempts", "3", "--status", "smtp-accepted"}, "Updated entry " + id + "\n"},
         {{"list", "smtp-accepted", "--json"},
          "{\"id\":" + id + ",\"status\":\"smtp-accepted\",\"received_ts\":100,\"message_size\":" + size +
              ",\"next_access_ts\":50,\"attempts\":3,\"session_id\":\"S-1\","
              "\"sender\":\"from@example\",\"recipients\":[\"a@example\",\"b@example\"]}\n"}});
  EXPECT_EQ(message, mq::test::read_file(q.file("out.eml")));

  mq::test::daemon_process_t watch(
      {MQCTL_PATH, {"--sorter-socket", q.sorter_socket(), "watch", "--count", "1"}, {"COM_ORVANE_MONITOR"}});
  ASSERT_TRUE(watch.wait_log("Watching flushes of " + q.spool_dir() + ": the keys each flush made due"));
  steps({{{"ids", "smtp-accepted", "--due", "49"}, "ID NEXT_ACCESS_TS\n0 ids in smtp-accepted\n"},
         {{"flush", "smtp-accepted"}, "Flushed 1 entries\n"}});
  EXPECT_TRUE(watch.wait_log("smtp-accepted: " + id + ":0"));
  EXPECT_EQ(0, watch.wait_exit());
  steps({{{"ids", "smtp-accepted", "--due", "0", "--json"},
          "{\"status\":\"smtp-accepted\",\"keys\":[{\"id\":" + id + ",\"next_access_ts\":0}]}\n"},
         {{"ids", "smtp-accepted", "--limit", "1"}, "ID NEXT_ACCESS_TS\n" + id + " 0\n1 id in smtp-accepted\n"},
         {{"check", "--fix"}, "Nothing to repair\n"},
         {{"remove", id}, "Removed entry " + id + "\n"}});
  // Each removal, move and flush is in the daemon's log: the audit trail.
  for (const std::string& line :
       words_t{"Sorter: removed entry " + id + " (uid " + std::to_string(::getuid()) + " pid ",
               "Sorter: moved entry " + id + " to SmtpAccepted",
               "Client: flush of the SmtpAccepted queue: Flushed 1 entries"})
    EXPECT_TRUE(q.daemon().wait_log(line)) << line;
}

TEST_F(mqctl_test, selections_outputs_shape_and_bulk_actions) {
  fill();
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"--all", "123456"}, {"smtp-fresh", "123"}, {"--all --sender ^A@", "136"}, {"--all --rcpt @spam\\.test$", "23"},
      {"--all --domain example.org", "13"}, {"--all --domain *.example.org", "134"}, {"--all --domain ONE.org", "136"},
      {"--all --domain BÜCHER.de", "6"}, {"--all --domain xn--BCHER-kva.de", "6"}, {"--all --rcpt ^ü", "6"},
      {"--all --older-than 1h", "46"}, {"--all --younger-than 2h", "1235"}, {"--all --older-than 2021-01-01", "6"},
      {"--all --larger-than 1k", "2"}, {"--all --smaller-than 100 --due", "135"}, {"--all --session ^S-", "124"},
      {"--all --attempts 3", "2"}, {"--all --attempts-min 1", "24"}, {"--all --due", "135"}, {"--all --not-due", "246"},
      {"--all --next-before 1h", "1356"}, {"--all --next-after 1d", "4"},
      {"--all --next-after 2000-01-01T00:00:00Z", "23456"}, {"smtp-fresh --limit 2", "13"},
      {"smtp-fresh --after " + id("e3") + ":" + std::to_string(now_ - 100), "2"},
      {"smtp-accepted --domain other.net --due", "5"}, {"bcc-accepted", ""}};
  // clang-format on
  for (const auto& [selection, expected] : rows) {
    words_t args = split("list " + selection + " --ids", ' '), want;
    for (const char n : expected) want.push_back(ids_.at(n - '0'));
    EXPECT_THAT(split(ok(args)), ::testing::UnorderedElementsAreArray(want)) << selection;
    args.back() = "--count";
    EXPECT_EQ(std::to_string(expected.size()) + "\n", ok(args)) << selection;
  }
  // The most overdue is e3, due 100 s ago, not those due at 0 but received just now.
  const Struct top = parse_json(ok({"top", "--json", "--iterations", "1", "--overdue", "1"}));
  EXPECT_EQ(std::stod(id("e3")), number(top.fields().at("most_overdue").list_value().values(0).struct_value(), "id"));

  // shape counts the six that stat counts, once in each bucket set.
  ASSERT_NE(std::string::npos, squeeze(ok({"stat"})).find("\ntotal 6 "));
  const auto sum = [](const google::protobuf::Value& v, double n = 0) {
    for (const auto& [k, x] : v.struct_value().fields()) n += x.number_value();
    return n;
  };
  for (const std::string by : {"sender", "domain"}) {
    const Struct shape = parse_json(ok({"shape", "--by", by, "--top", "2", "--json"}));
    const auto& total = shape.fields().at("total").struct_value().fields();
    double rows = number(shape.fields().at("others").struct_value(), "total");
    for (const auto& r : shape.fields().at("rows").list_value().values()) rows += number(r.struct_value(), "total");
    // Total, due buckets, attempt buckets, due now, the rows (by domain e3 is in two).
    EXPECT_EQ((std::vector<double>{6, 6, 6, 3, by == "domain" ? 8. : 6.}),
              (std::vector<double>{total.at("total").number_value(), sum(total.at("due")), sum(total.at("attempts")),
                                   number(total.at("due").struct_value(), "due"), rows}))
        << by;
  }
  // By age (e4 is 3 hours old, e6 years), and with subdomains rolled up.
  const Struct aged = parse_json(ok({"shape", "--by-age", "--roll-up", "2", "--json"}));
  const auto& age = aged.fields().at("total").struct_value().fields().at("age").struct_value();
  EXPECT_EQ((std::vector<double>{4, 1, 1}),
            (std::vector<double>{number(age, "<5m"), number(age, "<320m"), number(age, "older")}));
  EXPECT_EQ(3, number(aged.fields().at("rows").list_value().values(0).struct_value(), "total"));

  // Each bulk action, what it prints, and what it changes; a dry run changes nothing.
  snapshot_t expected = snapshot();
  const std::string none_lost = " 0 already gone, 0 changed meanwhile, 0 failed\n";
  const std::vector<std::tuple<words_t, std::string, std::function<void()>>> steps = {
      {{"remove", "--all", "--domain", "other.net", "--dry-run"},
       "Would remove 2 entries of all statuses, --domain other.net\nDry run: nothing changed\n",
       [] {}},
      {{"retry", "--all", "--domain", "spam.test", "--yes"},
       "Will retry 2 entries of all statuses, --domain spam.test (make them due now)\nRetried 2 of 2 entries:" +
           none_lost,
       [&] { expected[id("e2")].second = expected[id("e3")].second = 0; }},
      {{"move", "smtp-fresh", "--sender", "^a@", "--to", "bcc-accepted", "--yes"},
       "Will move 2 entries of smtp-fresh, --sender '^a@' to bcc-accepted\nMoved 2 of 2 entries:" + none_lost,
       [&] { expected[id("e1")].first = expected[id("e3")].first = "bcc-accepted"; }},
      {{"remove", "-", "--yes"},
       "Will remove 2 entries given by id\nRemoved 2 of 2 entries:" + none_lost,
       [&] { expected.erase(id("e5")), expected.erase(id("e6")); }},
  };
  for (const auto& [args, out, change] : steps) {
    const auto r = run(args, id("e5") + "\n" + id("e6") + ":0\n" + id("e6") + "\n");
    EXPECT_EQ((std::tuple{0, out, std::string()}), (std::tuple{r.status, r.out, r.err}));
    change();
    EXPECT_EQ(expected, snapshot()) << ::testing::PrintToString(args);
  }
}

TEST_F(mqctl_test, hostile_text_patterns_missing_ids_write_errors_and_sockets) {
  // Bidi controls and ignorables (U+202E, U+061C, U+00AD, U+E0001) in the session id.
  const std::string evil = put("m", {"--sender", "evil\x1b[31mred@x.test", "--rcpt", "a\nb@x.test", "--rcpt",
                                     "\xff@x.test", "--session-id", "\t\xe2\x80\xae\xd8\x9c\xc2\xad\xf3\xa0\x80\x81"});
  const std::string wide = put("m", {"--sender", "\xc3\xbc@x.test", "--rcpt", "r@x.test"});
  const std::string narrow = put("m", {"--sender", "u@x.test", "--rcpt", "r@x.test"});
  // One entry one line, escaped; columns padded by display width (u with umlaut is 2 bytes, 1 column).
  const words_t lines = split(ok({"list", "smtp-fresh"}));
  ASSERT_EQ(5u, lines.size());
  EXPECT_NE(std::string::npos,
            lines[1].find("\\t\\u{202e}\\u{061c}\\u{00ad}\\u{e0001}  evil\\e[31mred@x.test  a\\nb@x.test,\\xff@x.test"))
      << lines[1];
  EXPECT_EQ(lines[3].size() + 1, lines[2].size());
  const std::string json = ok({"list", "smtp-fresh", "--json"});
  EXPECT_NE(std::string::npos,
            json.find("\"evil\\u001b[31mred@x.test\",\"recipients\":[\"a\\nb@x.test\",\"\\udcff@x.test\"]"));
  EXPECT_EQ(std::string::npos, json.find('\xff'));
  EXPECT_EQ(std::string::npos, ok({"get", evil, "--out", q.file("out.eml")}).find('\x1b'));
  EXPECT_EQ(std::string::npos, ok({"help", "retry"}).find("'remove ID' alone"));
  EXPECT_EQ(std::stod(wide), number(parse_json(ok({"--json", "get", wide, "--out", q.file("o.eml")})), "id"));

  const std::string gone = "mqctl: no entry 99999\n",
                    full = "mqctl: cannot write to standard output: No space left on device\n";
  // clang-format off
  const std::vector<std::tuple<words_t, std::string, std::string, int, std::string>> rows = {
      {{"remove", "99999"}, "", "", 1, gone}, {{"update", "99999", "--attempts", "1"}, "", "", 1, gone},
      {{"get", "99999"}, "", "", 1, gone}, {{"retry", narrow, "-", "--yes"}, "99999", "", 1, gone},
      {{"list", "smtp-fresh", "--ids"}, "", "/dev/full", 4, full}, {{"list", "--all", "--json"}, "", "/dev/full", 4, full},
      {{"stat"}, "", "/dev/full", 4, full}, {{"shape"}, "", "/dev/full", 4, full}, {{"check"}, "", "", 0, ""},
      {{"--client-socket", q.sorter_socket(), "stat"}, "", "", 3,
       "mqctl: " + q.sorter_socket() + " is a Sorter socket, not the client socket (see --client-socket)\n"},
      {{"--sorter-socket", q.client_socket(), "get", "1"}, "", "", 3, "mqctl: " + q.client_socket() + " did not greet"},
      {{"update", "-", "--next-access-ts", "now"}, wide, "", 0, ""}, {{"ids", "smtp-fresh", "--due", "now"}, "", "", 0, ""}};
  // clang-format on
  for (const auto& [args, input, to, status, err] : rows) {
    const auto r = run(args, input, to);
    EXPECT_EQ((std::pair{status, err}), (std::pair{r.status, r.err.substr(0, err.size())}))
        << ::testing::PrintToString(args);
  }
  EXPECT_EQ("Retried entry " + narrow + "\n", ok({"retry", narrow}));

  // check: 1 when it finds something, the counts as numbers, the file by name.
  mq::test::write_file(q.spool_dir() + "/queue/stray.eml", "0123456789");
  const auto checked = run({"check", "--json"}), listed = run({"check", "--list"});
  EXPECT_EQ((std::tuple{1, 1, 1.0, 10.0}),
            (std::tuple{checked.status, listed.status, number(parse_json(checked.out), "orphaned_files"),
                        number(parse_json(checked.out), "orphaned_bytes")}));
  EXPECT_EQ("KIND ID_OR_FILE DETAIL\norphaned file stray.eml 10 bytes\n", squeeze(listed.out));

  // A daemon that goes away in the middle: the summary, then status 3. The
  // first entry is read and removed; the next read is left unanswered.
  mq::test::scripted_daemon_t<mq::Sorter2MailQuarantineMessage, mq::MailQuarantine2SorterMessage> daemon(
      {{{0}}, {{1}}, {}}, false);
  const auto cut = run({"--sorter-socket", daemon.path(), "remove", "7", "8", "--parallel", "1"});
  EXPECT_EQ(3, cut.status) << cut.err;
  EXPECT_THAT(cut.out,
              ::testing::StartsWith("Will remove 2 entries given by id\nRemoved 1 of 2 entries: 0 already gone, "
                                    "0 changed meanwhile, 0 failed\nConnection lost: "));
  EXPECT_THAT(cut.out, ::testing::HasSubstr("1 entry had no answer (done or not), 0 entries left untouched\n"));

  // Patterns: in linear time or refused. The longest argument exec passes is 128 KiB.
  const std::string id = put("m", {"--status", "bcc-fresh", "--sender", std::string(100000, 'a') + "@x.test"});
  const std::string nested(131000, '('), deep = "mqctl: invalid --sender regular expression '" + std::string(60, '(') +
                                                "...' (131000 bytes): longer than 1024 bytes\n";
  const std::string would = "Would remove 1 entry of bcc-fresh, --sender '(a|b)*@'\nDry run: nothing changed\n";
  // clang-format off
  const std::vector<std::tuple<words_t, int, std::string, std::string>> patterns = {
      {{"list", "bcc-fresh", "--sender", "^.*@x", "--count"}, 0, "1\n", ""},
      {{"list", "bcc-fresh", "--sender", "(a|b)*@", "--count"}, 0, "1\n", ""},
      {{"list", "bcc-fresh", "--sender", "[a-z]*@", "--ids"}, 0, id + "\n", ""},
      {{"list", "--all", "--sender", "^(a+)+$", "--count", "--json"}, 0, "{\"count\":0}\n", ""},
      {{"list", "--all", "--sender", "^A{99999}", "--count"}, 2, "", "mqctl: invalid --sender regular expression"},
      {{"list", "bcc-fresh", "--sender", nested, "--count"}, 2, "", deep},
      {{"remove", "bcc-fresh", "--sender", nested, "--yes"}, 2, "", deep},
      {{"list", "bcc-fresh", "--rcpt", "(a)\\1"}, 2, "", "mqctl: invalid --rcpt regular expression '(a)\\\\1': "
       "invalid escape sequence: \\1 (RE2 syntax: no backreferences, lookahead or lookbehind)\n"},
      {{"list", "bcc-fresh", "--session", "(?<!a)b"}, 2, "", "mqctl: invalid --session regular expression"},
      {{"remove", "bcc-fresh", "--sender", "(a|b)*@", "--dry-run"}, 0, would, ""},
      {{"retry", "bcc-fresh", "--sender", "[a-z]*@X\\.test$", "--yes", "--json"}, 0,
       "{\"action\":\"retry\",\"selected\":1,\"done\":1,\"gone\":0,\"changed\":0,\"failed\":0,\"unanswered\":0,"
       "\"left\":0,\"interrupted\":false,\"failures\":[]}\n", ""}};
  // clang-format on
  for (const auto& [args, status, out, err] : patterns) {
    const auto r = run(args);
    EXPECT_EQ((std::tuple{status, out, err}), (std::tuple{r.status, r.out, r.err.substr(0, err.size())}))
        << ::testing::PrintToString(args).substr(0, 80);
  }
}

TEST(mqctl, wrong_arguments_name_the_argument) {
  // No daemon; without $XDG_STATE_HOME mqctl looks for the sockets in ./var
  // (there, so that a packaged service's sockets are left alone).
  mq::test::temp_dir_t dir;
  std::filesystem::create_directory(dir.file("var"));
  const std::string absent = dir.file("absent.eml"), empty = dir.file("empty.eml");
  mq::test::write_file(empty, "");
  const std::string no_daemon = ": No such file or directory (is the daemon running?)\n";
  // clang-format off
  const std::vector<std::tuple<words_t, int, std::string>> rows = {
      {{}, 2, "no command given"}, {{"get", "0"}, 2, "invalid entry id: '0'"}, {{"stat", "--fix"}, 2, "--fix"},
      {{"list"}, 2, "list: name a STATUS or give --all"}, {{"list", "smtp-fresh", "--all"}, 2, "--all"},
      {{"list", "fresh"}, 2, "unknown status 'fresh' (smtp-fresh, smtp-accepted, bcc-fresh or bcc-accepted)"},
      {{"move", "smtp-fresh", "--to", "smtp-fresh"}, 2, "--to"},
      {{"remove", "5", "--domain", "x.org"}, 2, "selection"}, {{"shape", "--by", "color"}, 2, "--by"},
      {{"remove", "3"}, 3, "mqctl: cannot connect to the Sorter socket var/sorter.sock" + no_daemon},
      {{"--state-dir", dir.path().string(), "stat"}, 3,
       "mqctl: cannot connect to the client socket " + dir.file("client.sock") + no_daemon},
      {{"put", absent}, 4, "mqctl: cannot open " + absent + ": No such file or directory\n"},
      {{"put", empty}, 4, "the file is empty (0 bytes)"}, {{"list", "--all", "--larger-than", "1x"}, 2, "--larger-than"},
      {{"remove", "--all", "--domain", "spam.test"}, 2, "remove of a selection needs --yes"}};
  // clang-format on
  for (const auto& [args, status, named] : rows) {
    const auto r = mq::test::run_program({MQCTL_PATH, args, {"XDG_STATE_HOME"}, "", dir.path().string()});
    SCOPED_TRACE(::testing::PrintToString(args) + "\n" + r.err);
    EXPECT_EQ((std::pair<int, std::string>{status, ""}), (std::pair{r.status, r.out}));
    EXPECT_THAT(r.err, ::testing::AllOf(::testing::StartsWith("mqctl: "), ::testing::HasSubstr(named)));
    // Only a usage error has the hint, right after its one line.
    EXPECT_EQ(status == 2, r.err.find("\nTry 'mqctl --help'.\n") == r.err.find('\n'));
  }
}

TEST(mqctl, installs_into_a_prefix) {
  mq::test::temp_dir_t dir;
  const auto install =
      mq::test::run_program({MQ_CMAKE_COMMAND, {"--install", MQ_BINARY_DIR, "--prefix", dir.path().string()}});
  ASSERT_EQ(0, install.status) << install.out << install.err;
  for (const char* file :
       {"sbin/orvane-mail-quarantine", "sbin/mq-overseer", "share/man/man1/mqctl.1.gz",
        "share/man/man8/mq-overseer.8.gz", "share/man/man8/orvane-mail-quarantine.8.gz",
        "share/bash-completion/completions/mqctl", "share/orvane-mail-quarantine/prometheus/alerts.yml", "sbin/mq-web",
        "share/man/man8/mq-web.8.gz", "lib/systemd/system/orvane-mail-quarantine-web.service",
        "etc/default/orvane-mail-quarantine-web"})
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file(file))) << file;
  const auto help = mq::test::run_program({dir.file("bin/mqctl"), {"--help"}});
  EXPECT_EQ(0, help.status) << help.err;
  EXPECT_THAT(help.out, ::testing::StartsWith("Usage: mqctl [OPTIONS] COMMAND [ARGS]\n"));
}

}  // namespace
