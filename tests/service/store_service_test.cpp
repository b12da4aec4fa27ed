// The store service: opened by the first configuration, reconfigured by the
// next, and a new spool directory asks for a new process.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "service/store.h"
#include "support/daemon_process.h"
#include "util/service.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

TEST(store_service, opens_once_then_reconfigures) {
  mq::test::temp_dir_t dir;
  boost::asio::io_context io;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  {
    mq::service::store_t service(io, &config);
    EXPECT_EQ("", service.store().path());
    EXPECT_FALSE(exists(config.spool_dir()));
    service.configure();
    EXPECT_EQ(config.spool_dir(), service.store().path());
    EXPECT_TRUE(exists(config.spool_dir() + "/queue.db"));
    EXPECT_TRUE(exists(config.spool_dir() + "/queue"));

    config.set_log_level(ov::LOG_LEVEL_ERROR);  // trace off, same directory
    EXPECT_NO_THROW(service.configure());
    EXPECT_EQ(config.spool_dir(), service.store().path());
  }
}

TEST(store_service, another_spool_directory_needs_a_restart) {
  mq::test::temp_dir_t dir;
  boost::asio::io_context io;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  mq::service::store_t service(io, &config);
  service.configure();
  config.set_spool_dir(dir.file("other"));
  try {
    service.configure();
    ADD_FAILURE() << "no restart asked for";
  } catch (const mq::util::restart_required_t& e) {
    EXPECT_STREQ("Spool directory changed", e.what());
  }
  EXPECT_FALSE(exists(dir.file("other")));
  EXPECT_EQ(dir.file("spool"), service.store().path());
}

TEST(store_service, unknown_user_fails_before_anything_is_opened) {
  mq::test::temp_dir_t dir;
  boost::asio::io_context io;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  config.clear_run_as_user();
  mq::service::store_t service(io, &config);
  try {
    service.configure();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("getpwnam(\"\"): No such user", e.what());
  }
  EXPECT_FALSE(exists(config.spool_dir()));
  // A later, good configuration still opens the store.
  config.mutable_run_as_user()->set_uid(::getuid());
  service.configure();
  EXPECT_TRUE(exists(config.spool_dir() + "/queue.db"));
}

}  // namespace
