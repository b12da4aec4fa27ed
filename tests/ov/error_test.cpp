#include "ov/error.h"

#include <cerrno>
#include <future>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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
  struct row_t {
    std::exception_ptr e;
    int code;
    std::string text;
  };
  std::vector<row_t> rows = {
      {nullptr, 0, "Success"},
      {capture(boost::filesystem::filesystem_error("boost::filesystem::status", "/a", sys(ENOENT))), 23,
       "status: No such file or directory [system:2]: \"/a\""},
      {capture(std::system_error(ENOENT, std::system_category(), "open")), 23,
       std::system_error(ENOENT, std::system_category(), "open").what()},
      {capture(std::system_error(EPERM, std::generic_category(), "op")), 24,
       std::system_error(EPERM, std::generic_category(), "op").what()},
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
  // System errors of boost by errno: a code of ours, the text as it is.
  const std::pair<int, int> by_errno[] = {{EACCES, 24}, {ENOTDIR, 25}, {EEXIST, 27}, {EROFS, 28}, {EADDRINUSE, 34},
                                          {EXDEV, 37},  {EINVAL, 60},  {ENOMEM, 21}, {EBUSY, 125}};
  for (const auto& [e, code] : by_errno) rows.push_back({capture(boost_error(e)), code, boost_error(e).what()});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    ov::Error error;
    ov::make_error(error, row.e);
    EXPECT_EQ(row.code, error.code());
    EXPECT_EQ(row.text, error.what());
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
