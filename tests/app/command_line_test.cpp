// The executable in command-line mode, driven as a process.

#include <sys/stat.h>

#include <pwd.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "support/child_process.h"

namespace {

using mq::test::child_result_t;
using mq::test::run_child;

const char* const program = ORVANE_MAIL_QUARANTINE_PATH;

const char* const help_text =
    "Command line options:\n"
    "  -h [ --help ]         print help message and exit\n"
    "  -v [ --version ]      print version and exit\n"
    "\n";

const char* const version_line = "orvane-mail-quarantine " MQ_VERSION "\n";

const char* const refusal_line = "Cannot run standalone. See orvane-mail-quarantine(1) for details.\n";

const char* const lexical_cast_text = "bad lexical cast: source type value could not be interpreted as target";

// Runs the program without COM_ORVANE_MONITOR.
child_result_t run_tool(std::vector<std::string> args) {
  args.insert(args.begin(), "orvane-mail-quarantine");
  return run_child(program, args, {{"COM_ORVANE_MONITOR", std::nullopt}, {"COM_ORVANE_ADD_LOG_PIPE", std::nullopt}});
}

void expect_result(const child_result_t& r, int status, const std::string& out, const std::string& err) {
  EXPECT_TRUE(r.exited) << "signal " << r.status;
  EXPECT_EQ(status, r.status);
  EXPECT_EQ(out, r.out);
  EXPECT_EQ(err, r.err);
}

TEST(command_line, help_shows_only_the_visible_table) {
  child_result_t r = run_tool({"--help"});
  expect_result(r, 0, help_text, "");
  EXPECT_EQ(std::string::npos, r.out.find("dump"));
  expect_result(run_tool({"-h"}), 0, help_text, "");
}

TEST(command_line, help_wins_over_version_and_version_over_dump) {
  expect_result(run_tool({"-h", "--version"}), 0, help_text, "");
  expect_result(run_tool({"--version", "-h"}), 0, help_text, "");
  expect_result(run_tool({"-vh"}), 0, help_text, "");
  expect_result(run_tool({"--version", "--dump-app-info"}), 0, version_line, "");
}

TEST(command_line, version) {
  expect_result(run_tool({"--version"}), 0, version_line, "");
  expect_result(run_tool({"-v"}), 0, version_line, "");
  EXPECT_STREQ("orvane-mail-quarantine 1.0.0\n", version_line);
}

TEST(command_line, long_names_ignore_case_and_may_be_abbreviated) {
  expect_result(run_tool({"--HELP"}), 0, help_text, "");
  expect_result(run_tool({"--HeLp"}), 0, help_text, "");
  expect_result(run_tool({"--vers"}), 0, version_line, "");
  expect_result(run_tool({"--VERSION"}), 0, version_line, "");
  expect_result(run_tool({"--he"}), 0, help_text, "");
}

TEST(command_line, without_an_option_it_refuses_to_run) {
  expect_result(run_tool({}), 1, refusal_line, "");
  // Arguments that are not options are ignored.
  expect_result(run_tool({"start"}), 1, refusal_line, "");
}

TEST(command_line, rejected_command_lines_end_with_status_125) {
  expect_result(run_tool({"--frobnicate"}), 125, "", "Error: unrecognised option '--frobnicate'\n");
  expect_result(run_tool({"-x"}), 125, "", "Error: unrecognised option '-x'\n");
  // Flags take no values.
  child_result_t r = run_tool({"--help=yes"});
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(125, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.rfind("Error: ", 0)) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("help")) << r.err;
}

TEST(command_line, monitor_variable_selects_daemon_mode) {
  // Every argument is ignored then; a bad value ends the process through the
  // last-resort handler.
  for (const char* value : {"", "12x"}) {
    child_result_t r =
        run_child(program, {"orvane-mail-quarantine", "--help"}, {{"COM_ORVANE_MONITOR", std::string(value)}});
    EXPECT_TRUE(r.exited) << value;
    EXPECT_EQ(125, r.status) << "value \"" << value << "\"";
    EXPECT_EQ("", r.out);
    EXPECT_EQ(std::string("Error: ") + lexical_cast_text + "\n", r.err) << "value \"" << value << "\"";
  }
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string md5_of(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr));
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string base64_decode(const std::string& text) {
  std::string out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  EXPECT_LE(0, n) << text;
  if (n < 0) return "";
  std::size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

// The JSON value of "name":"..." (every field of this record is a string in JSON).
std::string json_string(const std::string& json, const std::string& name) {
  std::string key = "\"" + name + "\":\"";
  std::size_t at = json.find(key);
  if (at == std::string::npos) return "<absent>";
  at += key.size();
  return json.substr(at, json.find('"', at) - at);
}

TEST(command_line, dump_app_info_describes_the_executable) {
  child_result_t r = run_child(program, {program, "--dump-app-info"}, {{"COM_ORVANE_MONITOR", std::nullopt}});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ('\n', r.out.back());
  std::string json = r.out.substr(0, r.out.size() - 1);
  EXPECT_EQ(std::string::npos, json.find('\n'));
  EXPECT_EQ(std::string::npos, json.find(' ')) << json;
  EXPECT_EQ('{', json.front());
  EXPECT_EQ('}', json.back());

  struct stat st;
  ASSERT_EQ(0, ::stat(program, &st));
  std::string contents = read_all(program);
  ASSERT_EQ(static_cast<std::size_t>(st.st_size), contents.size());
  EXPECT_EQ(md5_of(contents), base64_decode(json_string(json, "exeMd5")));
  EXPECT_EQ(std::to_string(st.st_size), json_string(json, "exeSize"));
  EXPECT_EQ(std::to_string(st.st_mtime), json_string(json, "modificationTime"));
  EXPECT_EQ(std::to_string(st.st_ctime), json_string(json, "installTime"));
  EXPECT_EQ(MQ_VERSION, json_string(json, "version"));
  passwd* owner = ::getpwuid(st.st_uid);
  ASSERT_NE(nullptr, owner);
  EXPECT_EQ(owner->pw_name, base64_decode(json_string(json, "exeOwner")));
}

TEST(command_line, dump_app_info_prints_an_empty_record_on_failure) {
  // argv[0] names no file: the record cannot be built, the status stays 0.
  child_result_t r = run_child(program, {"/nonexistent/orvane-mail-quarantine", "--dump-app-info"},
                               {{"COM_ORVANE_MONITOR", std::nullopt}});
  expect_result(r, 0, "{}\n", "");
}

}  // namespace
