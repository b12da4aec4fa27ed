// mqctl against a live daemon: its output, its exit statuses and its error
// texts.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/running_quarantine.h"

namespace {

using mq::test::program_result_t;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The lines of an output, each split at runs of blanks.
std::vector<std::vector<std::string>> table_of(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    rows.emplace_back();
    for (std::string w; words >> w;) rows.back().push_back(w);
  }
  return rows;
}

using row_t = std::vector<std::string>;

program_result_t mqctl(const std::vector<std::string>& args, const std::string& cwd = "") {
  return mq::test::run_program(MQCTL_PATH, args, cwd);
}

class Mqctl : public ::testing::Test {
 protected:
  // mqctl pointed at this test's daemon.
  program_result_t run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--sorter-socket", q.sorter_socket(), "--client-socket", q.client_socket()});
    return mqctl(args);
  }

  // Runs and expects success; the standard output.
  std::string ok(const std::vector<std::string>& args) {
    const program_result_t r = run(args);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    return r.out;
  }

  std::string file(const std::string& name) const { return q.dir().file(name); }

  mq::test::running_quarantine_t q;
};

const std::string empty_stat =
    "STATUS         MESSAGES  BYTES\n"
    "smtp-fresh     0         0\n"
    "smtp-accepted  0         0\n"
    "bcc-fresh      0         0\n"
    "bcc-accepted   0         0\n"
    "total          0         0\n";

TEST_F(Mqctl, StatOfAnEmptyQuarantine) {
  EXPECT_EQ(empty_stat, ok({"stat"}));
  EXPECT_EQ(
      "{\"smtp-fresh\":{\"messages\":0,\"bytes\":0},\"smtp-accepted\":{\"messages\":0,\"bytes\":0},"
      "\"bcc-fresh\":{\"messages\":0,\"bytes\":0},\"bcc-accepted\":{\"messages\":0,\"bytes\":0}}\n",
      ok({"stat", "--json"}));
}

TEST_F(Mqctl, ASessionFromPutToRemove) {
  const std::string message = "From: from@example\r\nSubject: quarantined\r\n\r\nbody \"quoted\"\r\n";
  write_file(file("in.eml"), message);
  const std::string put =
      ok({"put", file("in.eml"), "--sender", "from@example", "--rcpt", "a@example", "--rcpt", "b@example", "--status",
          "bcc-fresh", "--session-id", "S-1", "--received-ts", "100", "--next-access-ts", "50"});
  ASSERT_FALSE(put.empty());
  ASSERT_EQ('\n', put.back());
  const std::string id = put.substr(0, put.size() - 1);
  ASSERT_EQ(std::string::npos, id.find_first_not_of("0123456789")) << put;

  // get, to a file and to standard output
  std::string shown = ok({"get", id, "--out", file("out.eml")});
  EXPECT_EQ(message, read_file(file("out.eml")));
  EXPECT_EQ((std::vector<row_t>{{"id:", id},
                                {"status:", "bcc-fresh"},
                                {"session_id:", "S-1"},
                                {"received_ts:", "100"},
                                {"next_access_ts:", "50"},
                                {"attempts:", "0"},
                                {"message_size:", std::to_string(message.size())},
                                {"sender:", "from@example"},
                                {"recipient:", "a@example"},
                                {"recipient:", "b@example"},
                                {"written", "to:", file("out.eml")}}),
            table_of(shown));
  // Values start in one column.
  EXPECT_EQ(shown.find("bcc-fresh") - shown.find("status:"), shown.find(id + "\n") - shown.find("id:"));
  program_result_t r = run({"get", id});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(message, r.out);
  EXPECT_EQ(table_of(shown).size() - 1, table_of(r.err).size()) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("from@example\n")) << r.err;

  // list and stat
  std::string listed = ok({"list", "bcc-fresh"});
  auto rows = table_of(listed);
  ASSERT_EQ(3u, rows.size()) << listed;
  EXPECT_EQ((row_t{"ID", "NEXT_ACCESS_TS", "ATTEMPTS", "SESSION_ID", "SENDER", "RECIPIENTS"}), rows[0]);
  EXPECT_EQ((row_t{id, "50", "0", "S-1", "from@example", "a@example,b@example"}), rows[1]);
  EXPECT_EQ((row_t{"1", "entry", "in", "bcc-fresh"}), rows[2]);
  // Columns line up.
  EXPECT_EQ(listed.find("NEXT_ACCESS_TS"), listed.find("  50  ") + 2 - listed.find('\n') - 1);
  EXPECT_EQ("{\"status\":\"bcc-fresh\",\"entries\":[{\"id\":" + id +
                ",\"next_access_ts\":50,\"attempts\":0,\"session_id\":\"S-1\",\"sender\":\"from@example\","
                "\"recipients\":[\"a@example\",\"b@example\"]}]}\n",
            ok({"list", "bcc-fresh", "--json"}));
  EXPECT_NE(std::string::npos, ok({"stat"}).find("bcc-fresh      1         " + std::to_string(message.size())));

  // update: metadata, then the file
  EXPECT_EQ("Updated entry " + id + "\n", ok({"update", id, "--attempts", "3", "--status", "smtp-accepted"}));
  EXPECT_NE(std::string::npos, ok({"list", "smtp-accepted", "--json"}).find("\"attempts\":3,")) << "status moved";
  EXPECT_EQ("ID  NEXT_ACCESS_TS  ATTEMPTS  SESSION_ID  SENDER  RECIPIENTS\n0 entries in bcc-fresh\n",
            ok({"list", "bcc-fresh"}));
  const std::string second = "a replacement message\n";
  write_file(file("second.eml"), second);
  EXPECT_EQ("Updated entry " + id + "\n", ok({"update", id, "--file", file("second.eml")}));
  r = run({"get", id});
  EXPECT_EQ(second, r.out);

  // due ids, flush, check
  EXPECT_EQ((std::vector<row_t>{{"ID", "NEXT_ACCESS_TS"}, {id, "50"}, {"1", "id", "in", "smtp-accepted"}}),
            table_of(ok({"ids", "smtp-accepted"})));
  EXPECT_EQ("ID  NEXT_ACCESS_TS\n0 ids in smtp-accepted\n", ok({"ids", "smtp-accepted", "--due", "49"}));
  EXPECT_EQ("Flushed 1 entries\n", ok({"flush", "smtp-accepted"}));
  EXPECT_EQ("{\"status\":\"smtp-accepted\",\"report\":\"Flushed 0 entries\"}\n",
            ok({"flush", "smtp-accepted", "--json"}));
  EXPECT_EQ("{\"status\":\"smtp-accepted\",\"keys\":[{\"entry_id\":" + id + ",\"next_access_ts\":0}]}\n",
            ok({"ids", "smtp-accepted", "--due", "0", "--json"}));
  EXPECT_EQ("Ok\n", ok({"check"}));
  EXPECT_EQ("Nothing to repair\n", ok({"check", "--fix"}));
  EXPECT_EQ("{\"fix\":false,\"report\":\"Ok\"}\n", ok({"check", "--json"}));

  // remove, and the error that follows
  EXPECT_EQ("Removed entry " + id + "\n", ok({"remove", id}));
  r = run({"get", id, "--out", file("gone.eml")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.find("mqctl: the daemon answered with an error: EC_")) << r.err;
  EXPECT_EQ(empty_stat, ok({"stat"}));
}

TEST_F(Mqctl, PagesByKeyWithALimit) {
  std::vector<std::string> ids;
  write_file(file("m.eml"), "m\n");
  for (int i = 0; i < 5; ++i) {
    std::string out = ok({"put", file("m.eml"), "--next-access-ts", "9"});
    ids.push_back(out.substr(0, out.size() - 1));
  }
  std::string out = ok({"list", "smtp-fresh", "--limit", "2", "--json"});
  EXPECT_NE(std::string::npos, out.find("\"next_after\":\"" + ids[1] + ":9\"")) << out;
  EXPECT_EQ(std::string::npos, out.find("\"id\":" + ids[2] + ","));
  out = ok({"list", "smtp-fresh", "--limit", "2", "--after", ids[3] + ":9"});
  const auto rows = table_of(out);
  ASSERT_EQ(3u, rows.size()) << out;
  EXPECT_EQ((row_t{ids[4], "9", "0", "-", "<>"}), rows[1]);
  EXPECT_EQ((row_t{"1", "entry", "in", "smtp-fresh"}), rows[2]);
  out = ok({"ids", "smtp-fresh", "--limit", "3"});
  EXPECT_NE(std::string::npos, out.find("next page: --after " + ids[2] + ":9\n")) << out;
  out = ok({"ids", "smtp-fresh", "--json"});
  for (const auto& id : ids) EXPECT_NE(std::string::npos, out.find("{\"entry_id\":" + id + ",")) << out;
}

TEST_F(Mqctl, WatchPrintsQueueChanges) {
  mq::test::daemon_options_t options;
  options.program = MQCTL_PATH;
  options.args = {"--sorter-socket", q.sorter_socket(), "watch", "--count", "1"};
  options.monitor = false;
  options.capture_stdout = true;
  mq::test::daemon_process_t watch(options);
  ASSERT_TRUE(watch.wait_log("Watching queue changes of " + q.spool_dir() + " (Ctrl-C to stop)"));
  write_file(file("m.eml"), "m\n");
  const std::string put = ok({"put", file("m.eml"), "--status", "bcc-accepted", "--next-access-ts", "7"});
  const std::string id = put.substr(0, put.size() - 1);
  EXPECT_EQ("Flushed 1 entries\n", ok({"flush", "bcc-accepted"}));
  EXPECT_TRUE(watch.wait_log("bcc-accepted: " + id + ":0"));
  EXPECT_EQ(0, watch.wait_exit());
}

TEST_F(Mqctl, DaemonErrorsShowTheCodeNameAndText) {
  write_file(file("empty.eml"), "");
  const program_result_t r = run({"put", file("empty.eml")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.find("mqctl: the daemon answered with an error: EC_")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("mmap")) << r.err;
}

TEST(MqctlAlone, WrongArgumentsAndMissingSockets) {
  mq::test::temp_dir_t dir;
  struct case_t {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const std::string missing = dir.file("none.sock");
  const std::vector<case_t> cases = {
      {{}, 2, "mqctl: no command given\nTry 'mqctl --help'.\n"},
      {{"frobnicate"}, 2, "mqctl: unknown command 'frobnicate'\nTry 'mqctl --help'.\n"},
      {{"list"}, 2, "mqctl: usage: mqctl list STATUS [--limit N] [--after ID:TS]\nTry 'mqctl --help'.\n"},
      {{"list", "fresh"},
       2,
       "mqctl: unknown status 'fresh' (smtp-fresh, smtp-accepted, bcc-fresh or bcc-accepted)\nTry 'mqctl --help'.\n"},
      {{"get", "12x"}, 2, "mqctl: invalid entry id: '12x'\nTry 'mqctl --help'.\n"},
      {{"get", "0"}, 2, "mqctl: invalid entry id: '0'\nTry 'mqctl --help'.\n"},
      {{"list", "bcc-fresh", "--after", "5"}, 2, "mqctl: invalid key '5' (expected ID:TS)\nTry 'mqctl --help'.\n"},
      {{"stat", "--fix"}, 2, "mqctl: unknown option --fix\nTry 'mqctl --help'.\n"},
      {{"put"},
       2,
       "mqctl: usage: mqctl put FILE [--sender S] [--rcpt R]... [--status S] [--session-id ID] ...\n"
       "Try 'mqctl --help'.\n"},
      {{"update", "4"}, 2, "mqctl: update: nothing to change\nTry 'mqctl --help'.\n"},
      {{"stat", "--timeout"}, 2, "mqctl: option --timeout needs a value\nTry 'mqctl --help'.\n"},
      {{"--client-socket", missing, "stat"},
       3,
       "mqctl: cannot connect to the client socket " + missing +
           ": No such file or directory (is the daemon running?)\n"},
      {{"--sorter-socket", missing, "remove", "3"},
       3,
       "mqctl: cannot connect to the Sorter socket " + missing +
           ": No such file or directory (is the daemon running?)\n"},
      {{"put", dir.file("absent.eml")},
       4,
       "mqctl: cannot open " + dir.file("absent.eml") + ": No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const program_result_t r = mqctl(c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ("", r.out);
  }
  const program_result_t help = mqctl({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("Usage: mqctl [OPTIONS] COMMAND [ARGS]\n"));
}

// A daemon whose sockets live in `state_dir`, as the supervisor stand-in
// places them.
std::unique_ptr<mq::test::daemon_process_t> daemon_in(const mq::test::temp_dir_t& dir, const std::string& state_dir) {
  std::filesystem::create_directories(state_dir);
  auto config = mq::test::make_test_config(dir.path());
  config.set_sorter_socket_path(state_dir + "/sorter.sock");
  config.set_client_socket_path(state_dir + "/client.sock");
  auto daemon = std::make_unique<mq::test::daemon_process_t>(mq::test::daemon_options());
  daemon->answer_config(config, 1);
  daemon->wait_message(ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION);
  return daemon;
}

TEST(MqctlAlone, DefaultSocketsAreInTheSupervisorsDefaultFolder) {
  ::unsetenv("XDG_STATE_HOME");
  mq::test::temp_dir_t dir;
  program_result_t r = mqctl({"stat"}, dir.path());
  EXPECT_EQ(3, r.status);
  EXPECT_EQ(
      "mqctl: cannot connect to the client socket var/client.sock: No such file or directory (is the daemon "
      "running?)\n",
      r.err);

  auto daemon = daemon_in(dir, dir.file("var"));
  r = mqctl({"stat"}, dir.path());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(empty_stat, r.out);
  r = mqctl({"ids", "bcc-fresh"}, dir.path());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ID  NEXT_ACCESS_TS\n0 ids in bcc-fresh\n", r.out);
}

TEST(MqctlAlone, DefaultSocketsFollowTheStateHome) {
  mq::test::temp_dir_t dir;
  ::setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
  auto daemon = daemon_in(dir, dir.file("state/orvane-mail-quarantine"));
  program_result_t r = mqctl({"stat"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(empty_stat, r.out);
  // An explicit folder wins.
  r = mqctl({"--state-dir", dir.file("elsewhere"), "stat"});
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("mqctl: cannot connect to the client socket " + dir.file("elsewhere") +
                "/client.sock: No such file or directory (is the daemon running?)\n",
            r.err);
  ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
