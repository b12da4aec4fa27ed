// The terminate handler and the protobuf log hook, each row run in a fresh
// child: this test program re-executed with MQ_APP_SCENARIO naming the row,
// which runs from a global test environment, after static initialisation.
#include "app/last_resort.h"

#include <cstdlib>
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

boost::filesystem::filesystem_error fs_error(const char* what, int value) {
  return boost::filesystem::filesystem_error(what, "/p",
                                             boost::system::error_code(value, boost::system::system_category()));
}

void install_log(std::int32_t threshold) {
  ov::cf_log_threshold = threshold;
  ov::cf_log_set(ov::cf_make_default_log());
}

const struct scenario_t {
  const char* name;
  void (*run)();
  int status;
  const char* err;
} scenarios[] = {
    {"filesystem_error", [] { terminate_with(fs_error("boost::filesystem::status", ENOENT)); }, 23,
     "Error: status: No such file or directory [system:2]: \"/p\"\n"},
    {"bad_alloc", [] { terminate_with(std::bad_alloc()); }, 21, "Error: Not enough memory\n"},
    // A std::system_error carries no code of ours.
    {"std_system_error",
     [] { terminate_with(std::system_error(std::error_code(EACCES, std::system_category()), "open")); }, 125,
     "Error: open: Permission denied\n"},
    {"bare_error_code", [] { terminate_with(ov::EC_BAD_CONFIG); }, 125, "Error: Unexpected exception\n"},
    {"no_exception", [] { std::set_terminate(&mq::app::last_resort_handler), std::terminate(); }, 125,
     "Error: Unexpected exception\n"},
    // Without a log it installs the default one at notice; buffered lines
    // replay. It ends without running exit handlers.
    {"buffered_lines_replayed_at_notice_no_exit_handlers",
     [] {
       std::atexit([] { std::fputs("exit handler ran\n", stderr); });
       ov::cf_log_write(1, "info before");
       ov::cf_log_write(2, "notice before");
       terminate_with(std::runtime_error("boost::asio::misc: gone"));
     },
     125, "Notice: notice before\nError: misc: gone\n"},
    {"installed_log_above_error_keeps_its_threshold",
     [] {
       install_log(5);
       terminate_with(fs_error("stat", ENOTDIR));
     },
     25, ""},
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

TEST(last_resort, status_and_standard_error) {
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    const auto r = mq::test::run_program({"/proc/self/exe", {}, {std::string("MQ_APP_SCENARIO=") + s.name}});
    EXPECT_EQ(s.status, r.status) << r.err;
    EXPECT_EQ(s.err, r.err);
  }
}

}  // namespace
