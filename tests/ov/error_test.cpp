#include "ov/error.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "net/ipc_error.h"

namespace {

const auto capture = [](auto e) { return std::make_exception_ptr(e); };

struct pool_exhausted_t : std::bad_alloc {
  const char* what() const noexcept override { return "pool exhausted"; }
};

// What a peer sees of a failure: the exception turned into {code, text}.
TEST(error, exceptions_become_code_and_text) {
  const auto sys = [](int e) { return boost::system::error_code(e, boost::system::system_category()); };
  const auto boost_error = [&](int e) { return boost::system::system_error(sys(e), "op"); };
  const auto ov_code = [](int c) { return static_cast<ov::ErrorCode>(c); };
  std::vector<std::tuple<std::exception_ptr, ov::ErrorCode, std::string>> rows = {
      {nullptr, ov::EC_OK, "Success"},
      {capture(boost::filesystem::filesystem_error("boost::filesystem::status", "/a", sys(ENOENT))),
       ov::EC_NO_SUCH_ENTRY, "status: No such file or directory [system:2]: \"/a\""},
      {capture(std::system_error(ENOENT, std::system_category(), "open")), ov::EC_NO_SUCH_ENTRY,
       std::system_error(ENOENT, std::system_category(), "open").what()},
      {capture(std::system_error(EPERM, std::generic_category(), "op")), ov::EC_PERMISSION_DENIED,
       std::system_error(EPERM, std::generic_category(), "op").what()},
      // Numbers of the own category mean themselves, not the errno they equal.
      {capture(ov::cf_exception_t(ov::make_error_code(ov_code(2)), "own 2")), ov_code(2), "own 2"},
      {capture(ov::cf_proto_exception_t(ov::EC_PERMISSION_DENIED, "denied")), ov::EC_PERMISSION_DENIED, "denied"},
      {capture(ov::cf_proto_exception_t(ov_code(14), "undefined")), ov::EC_UNEXPECTED_ERROR, "undefined"},
      {capture(std::bad_alloc()), ov::EC_NO_MEMORY, "Not enough memory"},
      {capture(pool_exhausted_t()), ov::EC_NO_MEMORY, "pool exhausted"},
      {capture(mq::net::ipc_error_t("Missing field")), ov::EC_UNEXPECTED_ERROR, "Missing field"},
      {capture(std::future_error(std::future_errc::no_state)), ov::EC_UNEXPECTED_ERROR,
       std::future_error(std::future_errc::no_state).what()},
      {capture(ov::EC_BAD_CONFIG), ov::EC_UNEXPECTED_ERROR, "ErrorCode: Invalid configuration"},
      {capture(ov_code(200)), ov::EC_UNEXPECTED_ERROR, "ErrorCode: 200"},
      {capture(42), ov::EC_UNEXPECTED_ERROR, "Unexpected exception"},
      {capture(std::runtime_error("boost::filesystem::directory_iterator::construct: gone")), ov::EC_UNEXPECTED_ERROR,
       "opendir: gone"},
      {capture(std::runtime_error("boost::asio::detail::x: y")), ov::EC_UNEXPECTED_ERROR, "x: y"},
      {capture(std::runtime_error("error in boost::a::b")), ov::EC_UNEXPECTED_ERROR, "error in boost::a::b"},
  };
  // System errors of boost: a code of ours, the text as it is.
  rows.emplace_back(capture(boost_error(EACCES)), ov::EC_PERMISSION_DENIED, boost_error(EACCES).what());
  rows.emplace_back(capture(boost_error(EBUSY)), ov::EC_UNEXPECTED_ERROR, boost_error(EBUSY).what());
  for (const auto& [e, code, text] : rows) {
    ov::Error error;
    ov::make_error(error, e);
    EXPECT_EQ(std::tuple(code, text), std::tuple(error.code(), std::string(error.what())));
  }
}

// Boost and the standard library report a failing call alike; a peer must
// not see which of them the daemon used.
TEST(error, an_errno_gives_one_defined_code_whichever_library_reports_it) {
  for (int e = 1; e < 134; ++e) {
    SCOPED_TRACE(std::strerror(e));
    const ov::ErrorCode from_std = ov::error_code_of(capture(std::system_error(e, std::system_category(), "op")));
    EXPECT_EQ(from_std, ov::error_code_of(capture(std::system_error(e, std::generic_category(), "op"))));
    EXPECT_EQ(from_std, ov::error_code_of(capture(boost::system::system_error(
                            boost::system::error_code(e, boost::system::system_category()), "op"))));
    EXPECT_TRUE(ov::ErrorCode_IsValid(from_std));
  }
}

TEST(error, a_replaced_text_belongs_to_its_thread) {
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
