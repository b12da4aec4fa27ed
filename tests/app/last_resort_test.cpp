// The terminate handler and the protobuf log hook, each run in a fresh child:
// this test program re-executed with MQ_APP_SCENARIO naming a row. The
// child runs it from a global test environment, after static initialisation.
#include "app/last_resort.h"

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>

#include "ov/error.h"
#include "ov/log.h"
#include "support/process.h"

namespace {

template <typename E>
[[noreturn]] void terminate_with(E e) {
  std::set_terminate(&mq::app::last_resort_handler);
  try {
    throw e;
  } catch (...) {
    std::terminate();
  }
}

boost::system::error_code sys(int value) { return boost::system::error_code(value, boost::system::system_category()); }

void install_log(std::int32_t threshold) {
  ov::cf_log_threshold = threshold;
  ov::cf_log_set(ov::cf_make_default_log());
}

struct scenario_t {
  const char* name;
  std::function<void()> run;
  int status;
  std::string err;
};
void PrintTo(const scenario_t& row, std::ostream* os) { *os << row.name; }

const scenario_t scenarios[] = {
    {"filesystem_error",
     [] { terminate_with(boost::filesystem::filesystem_error("boost::filesystem::status", "/p", sys(ENOENT))); }, 23,
     "Error: status: No such file or directory [system:2]: \"/p\"\n"},
    {"proto_exception", [] { terminate_with(ov::cf_proto_exception_t(ov::EC_PERMISSION_DENIED, "MD5: open: denied")); },
     24, "Error: MD5: open: denied\n"},
    {"bad_alloc", [] { terminate_with(std::bad_alloc()); }, 21, "Error: Not enough memory\n"},
    // A std::system_error carries no code of ours.
    {"std_system_error",
     [] { terminate_with(std::system_error(std::error_code(EACCES, std::system_category()), "open")); }, 125,
     "Error: open: Permission denied\n"},
    {"bare_error_code", [] { terminate_with(ov::EC_BAD_CONFIG); }, 125, "Error: Unexpected exception\n"},
    {"no_exception",
     [] {
       std::set_terminate(&mq::app::last_resort_handler);
       std::terminate();
     },
     125, "Error: Unexpected exception\n"},
    // Without a log it installs the default one at notice; buffered lines replay.
    {"buffered_lines_replayed_at_notice",
     [] {
       ov::cf_log_write(1, "info before");
       ov::cf_log_write(2, "notice before");
       terminate_with(std::runtime_error("boost::asio::misc: gone"));
     },
     125, "Notice: notice before\nError: misc: gone\n"},
    {"installed_log_above_error_keeps_its_threshold",
     [] {
       install_log(5);
       terminate_with(boost::filesystem::filesystem_error("stat", "/p", sys(ENOTDIR)));
     },
     25, ""},
    {"no_exit_handlers",
     [] {
       std::atexit([] { std::fputs("exit handler ran\n", stderr); });
       install_log(4);
       ov::cf_log_write(2, "written directly");
       terminate_with(std::runtime_error("x"));
     },
     125, "Notice: written directly\nError: x\n"},
    {"protobuf_levels_and_the_dropped_warning",
     [] {
       using namespace google::protobuf;
       install_log(0);
       google::protobuf::SetLogHandler(&mq::app::protobuf_log_handler);
       mq::app::protobuf_log_handler(LOGLEVEL_INFO, "f.cc", 1, "info");
       GOOGLE_LOG(WARNING) << "Reading dangerously large protocol message.  If the message turns out";
       GOOGLE_LOG(WARNING) << "Reading dangerously large protocol message";
       mq::app::protobuf_log_handler(LOGLEVEL_ERROR, "f.cc", 1, "error");
       mq::app::protobuf_log_handler(LOGLEVEL_FATAL, "f.cc", 1, "fatal");
       ov::cf_log_threshold = 4;
       mq::app::protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1, "below the threshold");
       terminate_with(std::runtime_error("end"));
     },
     125, "Info: info\nWarning: Reading dangerously large protocol message\nError: error\nError: fatal\nError: end\n"},
};

class scenario_environment_t : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* name = std::getenv("MQ_APP_SCENARIO");
    if (!name) return;
    for (const auto& s : scenarios)
      if (s.name == std::string(name)) s.run();
    std::_Exit(90);
  }
};

[[maybe_unused]] ::testing::Environment* const scenario_environment =
    ::testing::AddGlobalTestEnvironment(new scenario_environment_t);

class last_resort : public ::testing::TestWithParam<scenario_t> {};

TEST_P(last_resort, status_and_standard_error) {
  const auto r = mq::test::run_program({"/proc/self/exe", {}, {std::string("MQ_APP_SCENARIO=") + GetParam().name}});
  EXPECT_EQ(GetParam().status, r.status) << r.err;
  EXPECT_EQ(GetParam().err, r.err);
}

INSTANTIATE_TEST_SUITE_P(scenarios, last_resort, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
