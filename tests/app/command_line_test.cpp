// The executable run from a shell, without a supervisor.
#include <pwd.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "support/process.h"

namespace {

const char* const program = ORVANE_MAIL_QUARANTINE_PATH;

const std::string help =
    "Command line options:\n"
    "  -h [ --help ]         print help message and exit\n"
    "  -v [ --version ]      print version and exit\n"
    "\n";
const std::string version = "orvane-mail-quarantine " MQ_VERSION "\n";
const std::string refusal = "Cannot run standalone. See orvane-mail-quarantine(1) for details.\n";

struct run_case_t {
  const char* name;
  std::vector<std::string> argv;  // argv[0] first
  std::vector<std::string> env;
  int status;
  std::string out;
  std::string err;
};
void PrintTo(const run_case_t& row, std::ostream* os) { *os << row.name; }

const run_case_t run_cases[] = {
    {"help", {program, "--help"}, {}, 0, help, ""},
    {"version", {program, "-v"}, {}, 0, version, ""},
    {"long_names_ignore_case_and_abbreviate", {program, "--VERS"}, {}, 0, version, ""},
    {"help_wins_over_version", {program, "-vh"}, {}, 0, help, ""},
    {"version_wins_over_dump", {program, "--version", "--dump-app-info"}, {}, 0, version, ""},
    {"no_option_refuses", {program}, {}, 1, refusal, ""},
    {"other_words_are_ignored", {program, "start"}, {}, 1, refusal, ""},
    {"unknown_option", {program, "--frobnicate"}, {}, 125, "", "Error: unrecognised option '--frobnicate'\n"},
    {"monitor_variable_ignores_the_arguments",
     {program, "--help"},
     {"COM_ORVANE_MONITOR=12x"},
     125,
     "",
     "Error: bad lexical cast: source type value could not be interpreted as target\n"},
    // The record cannot be built when argv[0] names no file; still status 0.
    {"dump_with_an_unknown_path", {"/nonexistent/orvane-mail-quarantine", "--dump-app-info"}, {}, 0, "{}\n", ""},
};

class command_line : public ::testing::TestWithParam<run_case_t> {};

TEST_P(command_line, status_and_output) {
  const run_case_t& c = GetParam();
  mq::test::command_t command{
      program, {c.argv.begin() + 1, c.argv.end()}, {"COM_ORVANE_MONITOR", "COM_ORVANE_ADD_LOG_PIPE"}, c.argv[0]};
  command.env.insert(command.env.end(), c.env.begin(), c.env.end());
  const auto r = mq::test::run_program(command);
  EXPECT_EQ(c.status, r.status);
  EXPECT_EQ(c.out, r.out);
  EXPECT_EQ(c.err, r.err);
}

INSTANTIATE_TEST_SUITE_P(cases, command_line, ::testing::ValuesIn(run_cases),
                         [](const auto& info) { return std::string(info.param.name); });

std::string base64(const std::string& data) {
  std::vector<unsigned char> text(data.size() * 2 + 4);
  const auto in = reinterpret_cast<const unsigned char*>(data.data());
  return std::string(text.begin(), text.begin() + EVP_EncodeBlock(text.data(), in, static_cast<int>(data.size())));
}

std::string md5(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr));
  return std::string(reinterpret_cast<char*>(digest), size);
}

TEST(dump_app_info, describes_the_executable_in_one_json_line) {
  const auto r = mq::test::run_program({program, {"--dump-app-info"}, {"COM_ORVANE_MONITOR"}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  struct stat st;
  ASSERT_EQ(0, ::stat(program, &st));
  const passwd* owner = ::getpwuid(st.st_uid);
  ASSERT_NE(nullptr, owner);
  EXPECT_EQ("{\"version\":\"" MQ_VERSION "\",\"installTime\":\"" + std::to_string(st.st_ctime) +
                "\",\"modificationTime\":\"" + std::to_string(st.st_mtime) + "\",\"exeSize\":\"" +
                std::to_string(st.st_size) + "\",\"exeMd5\":\"" + base64(md5(mq::test::read_file(program))) +
                "\",\"exeOwner\":\"" + base64(owner->pw_name) + "\"}\n",
            r.out);
}

}  // namespace
