// mqctl for the operator: selections, grep-like outputs, bulk actions and
// shape against a live daemon; and the installed tool.
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/running_quarantine.h"

namespace {

using google::protobuf::Struct;
using mq::test::program_result_t;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

Struct parse_json(const std::string& text) {
  Struct s;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(text, &s).ok()) << text;
  return s;
}

double number(const Struct& s, const std::string& key) { return s.fields().at(key).number_value(); }
std::string text(const Struct& s, const std::string& key) { return s.fields().at(key).string_value(); }

// What a bulk action may change of an entry.
struct state_t {
  std::string status;
  std::uint64_t next = 0;
  bool operator==(const state_t& o) const { return status == o.status && next == o.next; }
};
using snapshot_t = std::map<std::string, state_t>;  // by entry name

class MqctlOps : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(q.dir().file("m.eml")) << "Subject: held\r\n\r\nbody\r\n";
    now_ = static_cast<std::uint64_t>(std::time(nullptr));
    // name, status, sender, recipients, next access time, session, attempts
    add("e1", "smtp-fresh", "a@one.org", {"x@example.org"}, 0, "S-a", 0);
    add("e2", "smtp-fresh", "b@two.org", {"y@spam.test"}, now_ + 7200, "S-b", 3);
    add("e3", "smtp-fresh", "a@one.org", {"z@spam.test", "w@example.org"}, now_ - 100, "T-c", 0);
    add("e4", "smtp-accepted", "c@three.net", {"v@example.org"}, now_ + 2 * 86400, "S-d", 1);
    add("e5", "smtp-accepted", "", {"u@other.net"}, 0, "", 0);
    add("e6", "bcc-fresh", "a@one.org", {"t@other.net"}, now_ + 600, "", 0);
  }

  program_result_t run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--sorter-socket", q.sorter_socket(), "--client-socket", q.client_socket()});
    return mq::test::run_program(MQCTL_PATH, args);
  }

  std::string ok(const std::vector<std::string>& args) {
    const program_result_t r = run(args);
    EXPECT_EQ(0, r.status) << ::testing::PrintToString(args) << r.err;
    return r.out;
  }

  void add(const std::string& name, const std::string& status, const std::string& sender,
           const std::vector<std::string>& rcpts, std::uint64_t next, const std::string& session, int attempts) {
    std::vector<std::string> args{
        "put", q.dir().file("m.eml"), "--status", status, "--next-access-ts", std::to_string(next), "--sender", sender};
    for (const auto& r : rcpts) args.insert(args.end(), {"--rcpt", r});
    if (!session.empty()) args.insert(args.end(), {"--session-id", session});
    const std::string out = ok(args);
    const std::string id = out.substr(0, out.find('\n'));
    ids_[name] = id;
    names_[id] = name;
    if (attempts) ok({"update", id, "--attempts", std::to_string(attempts)});
  }

  // The names of the entries a listing printed with --ids.
  std::set<std::string> names_in(const std::string& out) {
    std::set<std::string> names;
    for (const auto& line : lines_of(out)) names.insert(names_.count(line) ? names_[line] : "?" + line);
    return names;
  }

  snapshot_t snapshot() {
    snapshot_t s;
    for (const auto& line : lines_of(ok({"list", "--all", "--json"}))) {
      const Struct e = parse_json(line);
      const std::string id = std::to_string(static_cast<std::uint64_t>(number(e, "id")));
      s[names_.count(id) ? names_[id] : "?" + id] = {text(e, "status"),
                                                     static_cast<std::uint64_t>(number(e, "next_access_ts"))};
    }
    return s;
  }

  std::string id(const std::string& name) { return ids_.at(name); }

  mq::test::running_quarantine_t q;
  std::uint64_t now_ = 0;
  std::map<std::string, std::string> ids_, names_;
};

std::string iso_utc(std::uint64_t ts) {
  const std::time_t t = static_cast<std::time_t>(ts);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

TEST_F(MqctlOps, SelectionsCountsAndJsonLines) {
  struct row_t {
    std::vector<std::string> args;
    std::set<std::string> expected;
  };
  const std::vector<row_t> rows = {
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
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> args{"list"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto with = [&args](const std::string& option) {
      auto a = args;
      a.push_back(option);
      return a;
    };
    EXPECT_EQ(row.expected, names_in(ok(with("--ids"))));
    EXPECT_EQ(std::to_string(row.expected.size()) + "\n", ok(with("--count")));
  }
  // Key order within a status: next access time, then id.
  EXPECT_EQ(id("e1") + "\n" + id("e3") + "\n" + id("e2") + "\n", ok({"list", "smtp-fresh", "--ids"}));

  // One JSON object a line, with every field.
  const auto lines = lines_of(ok({"list", "--all", "--json", "--domain", "spam.test"}));
  ASSERT_EQ(2u, lines.size());
  const Struct e3 = parse_json(lines[0]);
  EXPECT_EQ(id("e3"), std::to_string(static_cast<std::uint64_t>(number(e3, "id"))));
  EXPECT_EQ("smtp-fresh", text(e3, "status"));
  EXPECT_EQ(static_cast<double>(now_ - 100), number(e3, "next_access_ts"));
  EXPECT_EQ(0, number(e3, "attempts"));
  EXPECT_EQ("T-c", text(e3, "session_id"));
  EXPECT_EQ("a@one.org", text(e3, "sender"));
  const auto& rcpts = e3.fields().at("recipients").list_value();
  ASSERT_EQ(2, rcpts.values_size());
  EXPECT_EQ("w@example.org", rcpts.values(1).string_value());
  EXPECT_EQ(3, number(parse_json(lines[1]), "attempts"));
  EXPECT_EQ(3, number(parse_json(ok({"list", "--all", "--json", "--not-due", "--count"})), "count"));

  // Readable listing: "due" for 0 and past times, UTC on request.
  const std::string listed = ok({"list", "smtp-fresh", "--utc"});
  const auto listed_lines = lines_of(listed);
  ASSERT_EQ(5u, listed_lines.size()) << listed;
  EXPECT_EQ(0u, listed_lines[2].find(id("e3") + " ")) << listed;
  EXPECT_NE(std::string::npos, listed_lines[2].find(" due ")) << listed;
  EXPECT_NE(std::string::npos, listed.find(iso_utc(now_ + 7200))) << listed;
  EXPECT_NE(std::string::npos, listed.find("3 entries in smtp-fresh\n")) << listed;
}

TEST_F(MqctlOps, BulkActionsChangeExactlyTheSelection) {
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
  expected["e2"].next = expected["e3"].next = 0;
  EXPECT_EQ(expected, snapshot());

  EXPECT_EQ(
      "Will move 2 entries of smtp-fresh, --sender '^a@' to bcc-accepted\n"
      "Moved 2 of 2 entries: 0 already gone, 0 changed meanwhile, 0 failed\n",
      ok({"move", "smtp-fresh", "--sender", "^a@", "--to", "bcc-accepted", "--yes"}));
  expected["e1"].status = expected["e3"].status = "bcc-accepted";
  EXPECT_EQ(expected, snapshot());

  const std::string out = ok({"delay", "1h", id("e5"), "--yes"});
  EXPECT_EQ(0u, out.find("Will delay 1 entry given by id until ")) << out;
  EXPECT_NE(std::string::npos, out.find("\nDelayed 1 of 1 entry: 0 already gone, 0 changed meanwhile, 0 failed\n"));
  const snapshot_t delayed = snapshot();
  EXPECT_GE(delayed.at("e5").next, now_ + 3600);
  EXPECT_LE(delayed.at("e5").next, static_cast<std::uint64_t>(std::time(nullptr)) + 3600);
  expected["e5"].next = delayed.at("e5").next;
  EXPECT_EQ(expected, delayed);

  EXPECT_EQ(
      "Will remove 3 entries given by id\n"
      "Removed 2 of 3 entries: 1 already gone, 0 changed meanwhile, 0 failed\n",
      ok({"remove", id("e5"), id("e6"), "999999", "--yes"}));
  expected.erase("e5");
  expected.erase("e6");
  EXPECT_EQ(expected, snapshot());
  EXPECT_EQ("Will retry 0 entries of all statuses, --domain nowhere.test (make them due now)\nNothing to do\n",
            ok({"retry", "--all", "--domain", "nowhere.test"}));
}

TEST_F(MqctlOps, ShapeAddsUpToStat) {
  const Struct stat = parse_json(ok({"stat", "--json"}));
  double messages = 0;
  for (const auto& [status, value] : stat.fields())
    messages += value.struct_value().fields().at("messages").number_value();
  ASSERT_EQ(6, messages);
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
  const auto table = lines_of(ok({"shape", "smtp-fresh", "--by", "sender"}));
  ASSERT_EQ(4u, table.size());
  EXPECT_EQ(0u, table[1].find("one.org ")) << table[1];
  EXPECT_EQ(0u, table[3].find("total ")) << table[3];
}

TEST_F(MqctlOps, WrongArgumentsNameTheArgument) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"list", "--all", "--attempts", "x"}, "--attempts"},
      {{"list", "--all", "--sender", "("}, "--sender"},
      {{"list", "--all", "--next-before", "soon"}, "--next-before"},
      {{"list", "--all", "--limit", "0"}, "--limit"},
      {{"list", "--all", "--domain", "a@b"}, "--domain"},
      {{"list", "smtp-fresh", "--all"}, "--all"},
      {{"list", "--all", "--bogus"}, "--bogus"},
      {{"list", "--all", "--ids", "--count"}, "--ids"},
      {{"list", "--all", "--after", "1:2"}, "--after"},
      {{"list", "fresh"}, "'fresh'"},
      {{"move", "smtp-fresh", "--yes"}, "--to"},
      {{"move", "smtp-fresh", "--to", "smtp-fresh"}, "--to"},
      {{"delay", "soon", "--all"}, "'soon'"},
      {{"remove", "5", "--domain", "x.org"}, "selection"},
      {{"shape", "--by", "color"}, "--by"},
      {{"top", "--interval", "0"}, "--interval"},
      {{"help", "frob"}, "'frob'"},
  };
  for (const auto& [args, named] : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const program_result_t r = run(args);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("mqctl: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(named)) << r.err;
  }
  EXPECT_EQ(6u, lines_of(ok({"list", "--all", "--ids"})).size()) << "nothing was changed";
}

// The executable of `name` on the PATH.
std::string on_path(const std::string& name) {
  std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "/usr/bin/" + name;
}

TEST(MqctlInstall, InstallsIntoAPrefix) {
  mq::test::temp_dir_t dir;
  const std::filesystem::path build = std::filesystem::path(MQCTL_PATH).parent_path().parent_path().parent_path();
  const program_result_t install =
      mq::test::run_program(on_path("cmake"), {"--install", build.string(), "--prefix", dir.path()});
  ASSERT_EQ(0, install.status) << install.out << install.err;
  for (const char* file : {"sbin/orvane-mail-quarantine", "sbin/mq-overseer", "share/man/man1/mqctl.1.gz",
                           "share/man/man8/mq-overseer.8.gz", "share/man/man8/orvane-mail-quarantine.8.gz",
                           "share/bash-completion/completions/mqctl"})
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file(file))) << file;
  const program_result_t help = mq::test::run_program(dir.file("bin/mqctl"), {"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("Usage: mqctl [OPTIONS] COMMAND [ARGS]\n")) << help.out;
  const program_result_t shape = mq::test::run_program(dir.file("bin/mqctl"), {"help", "shape"});
  EXPECT_EQ(0u, shape.out.find("Usage: mqctl [OPTIONS] shape ")) << shape.out;
}

}  // namespace
