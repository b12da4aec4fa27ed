// mqctl against a live daemon: its output, its exit statuses and its texts.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

using mq::test::program_result_t;
using row_t = std::vector<std::string>;

// The lines of an output, each split at runs of blanks.
std::vector<row_t> table_of(const std::string& out) {
  std::vector<row_t> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    rows.emplace_back();
    for (std::string w; words >> w;) rows.back().push_back(w);
  }
  return rows;
}

program_result_t mqctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                       const std::string& cwd = "") {
  return mq::test::run_program({MQCTL_PATH, args, env, "", cwd});
}

const std::string empty_stat =
    "STATUS         MESSAGES  BYTES\n"
    "smtp-fresh     0         0\n"
    "smtp-accepted  0         0\n"
    "bcc-fresh      0         0\n"
    "bcc-accepted   0         0\n"
    "total          0         0\n";

class mqctl_session : public ::testing::Test {
 protected:
  program_result_t run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--sorter-socket", q.sorter_socket(), "--client-socket", q.client_socket()});
    return mqctl(args);
  }
  // Runs, expects success; the standard output.
  std::string ok(const std::vector<std::string>& args) {
    const program_result_t r = run(args);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    return r.out;
  }
  std::string put(const std::string& content, std::vector<std::string> args) {
    mq::test::write_file(q.file("in.eml"), content);
    args.insert(args.begin(), {"put", q.file("in.eml")});
    const std::string out = ok(args);
    EXPECT_EQ(out.size() - 1, out.find_first_not_of("0123456789")) << out;
    return out.substr(0, out.size() - 1);
  }

  mq::test::running_quarantine_t q;
};

TEST_F(mqctl_session, from_put_to_remove) {
  EXPECT_EQ(empty_stat, ok({"stat"}));
  const std::string message = "From: from@example\r\nSubject: quarantined\r\n\r\nbody \"quoted\"\r\n";
  const std::string id =
      put(message, {"--sender", "from@example", "--rcpt", "a@example", "--rcpt", "b@example", "--status", "bcc-fresh",
                    "--session-id", "S-1", "--received-ts", "100", "--next-access-ts", "50"});
  // get, to a file and to standard output
  const std::string shown = ok({"get", id, "--out", q.file("out.eml")});
  EXPECT_EQ(message, mq::test::read_file(q.file("out.eml")));
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
                                {"written", "to:", q.file("out.eml")}}),
            table_of(shown));
  program_result_t r = run({"get", id});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(message, r.out);

  // list and stat
  EXPECT_EQ((std::vector<row_t>{{"ID", "NEXT_ACCESS_TS", "ATTEMPTS", "SESSION_ID", "SENDER", "RECIPIENTS"},
                                {id, "50", "0", "S-1", "from@example", "a@example,b@example"},
                                {"1", "entry", "in", "bcc-fresh"}}),
            table_of(ok({"list", "bcc-fresh"})));
  EXPECT_NE(std::string::npos, ok({"stat"}).find("bcc-fresh      1         " + std::to_string(message.size())));

  // update: metadata, then the file
  EXPECT_EQ("Updated entry " + id + "\n", ok({"update", id, "--attempts", "3", "--status", "smtp-accepted"}));
  EXPECT_NE(std::string::npos, ok({"list", "smtp-accepted", "--json"}).find("\"attempts\":3,"));
  EXPECT_EQ("ID  NEXT_ACCESS_TS  ATTEMPTS  SESSION_ID  SENDER  RECIPIENTS\n0 entries in bcc-fresh\n",
            ok({"list", "bcc-fresh"}));
  mq::test::write_file(q.file("second.eml"), "a replacement message\n");
  EXPECT_EQ("Updated entry " + id + "\n", ok({"update", id, "--file", q.file("second.eml")}));
  EXPECT_EQ("a replacement message\n", run({"get", id}).out);

  // due ids, flush, check
  EXPECT_EQ((std::vector<row_t>{{"ID", "NEXT_ACCESS_TS"}, {id, "50"}, {"1", "id", "in", "smtp-accepted"}}),
            table_of(ok({"ids", "smtp-accepted"})));
  EXPECT_EQ("ID  NEXT_ACCESS_TS\n0 ids in smtp-accepted\n", ok({"ids", "smtp-accepted", "--due", "49"}));
  EXPECT_EQ("Flushed 1 entries\n", ok({"flush", "smtp-accepted"}));
  EXPECT_EQ("{\"status\":\"smtp-accepted\",\"keys\":[{\"entry_id\":" + id + ",\"next_access_ts\":0}]}\n",
            ok({"ids", "smtp-accepted", "--due", "0", "--json"}));
  EXPECT_EQ("Nothing to repair\n", ok({"check", "--fix"}));

  // remove, and the daemon's errors that follow
  EXPECT_EQ("Removed entry " + id + "\n", ok({"remove", id}));
  r = run({"get", id, "--out", q.file("gone.eml")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.find("mqctl: the daemon answered with an error: EC_")) << r.err;
  EXPECT_EQ(empty_stat, ok({"stat"}));
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

TEST_F(mqctl_session, pages_by_key_with_a_limit) {
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(put("m\n", {"--next-access-ts", "9"}));
  EXPECT_EQ((std::vector<row_t>{{"ID", "NEXT_ACCESS_TS", "ATTEMPTS", "SESSION_ID", "SENDER", "RECIPIENTS"},
                                {ids[4], "9", "0", "-", "<>"},
                                {"1", "entry", "in", "smtp-fresh"}}),
            table_of(ok({"list", "smtp-fresh", "--limit", "2", "--after", ids[3] + ":9"})));
  const std::string out = ok({"ids", "smtp-fresh", "--limit", "3"});
  EXPECT_NE(std::string::npos, out.find("next page: --after " + ids[2] + ":9\n")) << out;
}

TEST_F(mqctl_session, watch_prints_queue_changes) {
  mq::test::daemon_process_t watch(
      {MQCTL_PATH, {"--sorter-socket", q.sorter_socket(), "watch", "--count", "1"}, {"COM_ORVANE_MONITOR"}});
  ASSERT_TRUE(watch.wait_log("Watching queue changes of " + q.spool_dir() + " (Ctrl-C to stop)"));
  const std::string id = put("m\n", {"--status", "bcc-accepted", "--next-access-ts", "7"});
  EXPECT_EQ("Flushed 1 entries\n", ok({"flush", "bcc-accepted"}));
  EXPECT_TRUE(watch.wait_log("bcc-accepted: " + id + ":0"));
  EXPECT_EQ(0, watch.wait_exit());
}

TEST(mqctl, wrong_arguments_and_missing_sockets_or_files) {
  mq::test::temp_dir_t dir;
  const std::string missing = dir.file("none.sock"), absent = dir.file("absent.eml");
  const std::string again = "\nTry 'mqctl --help'.\n";
  const struct {
    row_t args;
    int status;
    std::string err;
  } rows[] = {
      {{}, 2, "mqctl: no command given" + again},
      {{"list", "fresh"},
       2,
       "mqctl: unknown status 'fresh' (smtp-fresh, smtp-accepted, bcc-fresh or bcc-accepted)" + again},
      {{"get", "0"}, 2, "mqctl: invalid entry id: '0'" + again},
      {{"stat", "--fix"}, 2, "mqctl: unknown option --fix" + again},
      {{"--sorter-socket", missing, "remove", "3"},
       3,
       "mqctl: cannot connect to the Sorter socket " + missing +
           ": No such file or directory (is the daemon running?)\n"},
      {{"put", absent}, 4, "mqctl: cannot open " + absent + ": No such file or directory\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const program_result_t r = mqctl(row.args);
    EXPECT_EQ(row.status, r.status);
    EXPECT_EQ(row.err, r.err);
    EXPECT_EQ("", r.out);
  }
  const program_result_t help = mqctl({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("Usage: mqctl [OPTIONS] COMMAND [ARGS]\n"));
}

TEST(mqctl, default_sockets_follow_the_state_home_else_var) {
  // Where the supervisor stand-in places them under a state folder.
  mq::test::running_quarantine_t q([](auto& config, auto& dir) {
    std::filesystem::create_directories(dir.file("state/orvane-mail-quarantine"));
    config.set_sorter_socket_path(dir.file("state/orvane-mail-quarantine/sorter.sock"));
    config.set_client_socket_path(dir.file("state/orvane-mail-quarantine/client.sock"));
  });
  const std::string state = "XDG_STATE_HOME=" + q.file("state");
  program_result_t r = mqctl({"stat"}, {state});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(empty_stat, r.out);
  r = mqctl({"ids", "bcc-fresh"}, {state});
  EXPECT_EQ("ID  NEXT_ACCESS_TS\n0 ids in bcc-fresh\n", r.out);
  const std::string not_running = ": No such file or directory (is the daemon running?)\n";
  r = mqctl({"stat"}, {"XDG_STATE_HOME"}, q.file(""));
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("mqctl: cannot connect to the client socket var/client.sock" + not_running, r.err);
  // An explicit folder wins.
  r = mqctl({"--state-dir", q.file("elsewhere"), "stat"}, {state});
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("mqctl: cannot connect to the client socket " + q.file("elsewhere") + "/client.sock" + not_running, r.err);
}

}  // namespace
