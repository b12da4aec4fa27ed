#include "ov/error.h"

#include <cerrno>
#include <future>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "util/ipc_error.h"

namespace {

template <typename E>
std::exception_ptr capture(E e) {
  return std::make_exception_ptr(e);
}

struct pool_exhausted_t : std::bad_alloc {
  const char* what() const noexcept override { return "pool exhausted"; }
};

// What a peer sees of a failure: the exception turned into {code, text}.
TEST(error, ExceptionsBecomeCodeAndText) {
  const auto sys = [](int e) { return boost::system::error_code(e, boost::system::system_category()); };
  const auto boost_error = [&](int e) { return boost::system::system_error(sys(e), "op"); };
  const auto ov_code = [](int c) { return static_cast<ov::ErrorCode>(c); };
  const std::string boost_text = boost_error(EACCES).what();
  struct row_t {
    std::exception_ptr e;
    int code;
    std::string text;
  } const rows[] = {
      {nullptr, 0, "Success"},
      {capture(boost::filesystem::filesystem_error("boost::filesystem::status", "/a", sys(ENOENT))), 23,
       "status: No such file or directory [system:2]: \"/a\""},
      {capture(std::system_error(ENOENT, std::system_category(), "open")), 23,
       std::system_error(ENOENT, std::system_category(), "open").what()},
      {capture(std::system_error(EPERM, std::generic_category(), "op")), 24,
       std::system_error(EPERM, std::generic_category(), "op").what()},
      {capture(boost_error(EACCES)), 24, boost_text},
      {capture(boost_error(ENOTDIR)), 25, boost_error(ENOTDIR).what()},
      {capture(boost_error(EEXIST)), 27, boost_error(EEXIST).what()},
      {capture(boost_error(EROFS)), 28, boost_error(EROFS).what()},
      {capture(boost_error(EADDRINUSE)), 34, boost_error(EADDRINUSE).what()},
      {capture(boost_error(EXDEV)), 37, boost_error(EXDEV).what()},
      {capture(boost_error(EINVAL)), 60, boost_error(EINVAL).what()},
      {capture(boost_error(ENOMEM)), 21, boost_error(ENOMEM).what()},
      {capture(boost_error(EBUSY)), 125, boost_error(EBUSY).what()},
      // Numbers of the own category mean themselves, not the errno they equal.
      {capture(ov::cf_exception_t(ov::make_error_code(ov_code(2)), "own 2")), 2, "own 2"},
      {capture(ov::cf_proto_exception_t(ov::EC_PERMISSION_DENIED, "denied")), 24, "denied"},
      {capture(ov::cf_proto_exception_t(ov_code(14), "undefined")), 125, "undefined"},
      {capture(std::bad_alloc()), 21, "Not enough memory"},
      {capture(pool_exhausted_t()), 21, "pool exhausted"},
      {capture(mq::util::ipc_error_t("Missing field")), 125, "Missing field"},
      {capture(std::future_error(std::future_errc::no_state)), 125,
       std::future_error(std::future_errc::no_state).what()},
      {capture(ov::EC_BAD_CONFIG), 125, "ErrorCode: Invalid configuration"},
      {capture(ov_code(200)), 125, "ErrorCode: 200"},
      {capture(42), 125, "Unexpected exception"},
      {capture(std::runtime_error("boost::filesystem::directory_iterator::construct: gone")), 125, "opendir: gone"},
      {capture(std::runtime_error("boost::asio::detail::x: y")), 125, "x: y"},
      {capture(std::runtime_error("error in boost::a::b")), 125, "error in boost::a::b"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    ov::Error error;
    ov::make_error(error, row.e);
    EXPECT_EQ(row.code, error.code());
    EXPECT_EQ(row.text, error.what());
    EXPECT_TRUE(error.IsInitialized());
  }
}

TEST(error, AReplacedTextBelongsToItsThread) {
  std::runtime_error mine("boost::filesystem::directory_iterator::construct: mine");
  const char* text = ov::exception_text(mine);
  std::thread other([] {
    std::runtime_error theirs("boost::filesystem::directory_iterator::construct: theirs and much longer");
    EXPECT_STREQ("opendir: theirs and much longer", ov::exception_text(theirs));
  });
  other.join();
  EXPECT_STREQ("opendir: mine", text);
}

}  // namespace
