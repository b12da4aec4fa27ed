#include "ov/error.h"

#include <cerrno>
#include <future>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "util/ipc_error.h"

namespace {

using ov::ErrorCode;

boost::system::error_code sys(int value) { return boost::system::error_code(value, boost::system::system_category()); }

ErrorCode code(int value) { return static_cast<ErrorCode>(value); }

template <typename E>
std::exception_ptr capture(E e) {
  try {
    throw e;
  } catch (...) {
    return std::current_exception();
  }
}

TEST(error_category, name_and_messages) {
  const boost::system::error_category& c = ov::error_category();
  EXPECT_STREQ("ov.Error", c.name());
  EXPECT_EQ("Not a regular file", c.message(33));
  EXPECT_EQ("Success", c.message(0));
  EXPECT_EQ("ov.Error 14", c.message(14));
  EXPECT_EQ("ov.Error -3", c.message(-3));
  EXPECT_EQ("ov.Error 126", c.message(126));
  // A defined number without a display text shows its value name.
  EXPECT_EQ("EC_CODE_1", c.message(1));
  EXPECT_EQ(&c, &ov::error_category());
}

TEST(error_category, full_rendering_of_a_code) {
  boost::system::error_code ec = ov::make_error_code(ov::EC_NOT_A_REGULAR_FILE);
  EXPECT_EQ(&ov::error_category(), &ec.category());
  EXPECT_EQ(33, ec.value());
  EXPECT_EQ("Not a regular file [ov.Error:33]", ec.what());
  EXPECT_STREQ("Not a regular file [ov.Error:33]", boost::system::system_error(ec).what());
}

TEST(error_category, never_equivalent_to_generic_conditions) {
  // ov 2 and 13 share numbers with ENOENT and EACCES but mean something else.
  EXPECT_FALSE(ov::make_error_code(code(2)) == boost::system::errc::no_such_file_or_directory);
  EXPECT_FALSE(ov::make_error_code(code(13)) == boost::system::errc::permission_denied);
  EXPECT_FALSE(ov::make_error_code(ov::EC_OK) == boost::system::errc::success);
}

TEST(error_text, lex_name_or_number) {
  const std::pair<int, const char*> rows[] = {
      {0, "Success"},
      {11, "Unexpected IPC message"},
      {12, "Protocol violation"},
      {21, "Not enough memory"},
      {23, "No such file or directory"},
      {24, "Permission denied"},
      {25, "Not a directory"},
      {27, "File already exists"},
      {28, "Read-only file system"},
      {33, "Not a regular file"},
      {34, "Name already in use"},
      {37, "Mounting points are different"},
      {60, "Invalid argument"},
      {102, "Invalid configuration"},
      {107, "Process terminated by signal"},
      {125, "Unexpected error"},
      {1, "EC_CODE_1"},
      {200, "200"},
      {14, "14"},
      {-3, "-3"},
  };
  for (const auto& [number, text] : rows) EXPECT_EQ(text, ov::error_text(code(number))) << number;
}

TEST(error_code_name, value_name_or_number) {
  EXPECT_EQ("EC_OK", ov::error_code_name(0));
  EXPECT_EQ("EC_APP_TERMINATED", ov::error_code_name(107));
  EXPECT_EQ("EC_BAD_CONFIG", ov::error_code_name(102));
  EXPECT_EQ("14", ov::error_code_name(14));
  EXPECT_EQ("-3", ov::error_code_name(-3));
}

TEST(error_code_of, defined_numbers_are_exactly_the_shared_sets) {
  int defined = 0;
  for (int n = -5; n < 300; ++n) {
    const bool expected = (n >= 0 && n <= 13) || (n >= 20 && n <= 38) || (n >= 40 && n <= 45) || (n >= 47 && n <= 52) ||
                          (n >= 60 && n <= 71) || (n >= 80 && n <= 85) || (n >= 88 && n <= 102) ||
                          (n >= 104 && n <= 125);
    defined += expected;
    EXPECT_EQ(expected ? n : 125, ov::error_code_of(ov::make_error_code(code(n)))) << n;
  }
  EXPECT_EQ(ov::ErrorCode_descriptor()->value_count(), defined);
}

TEST(error_code_of, boost_codes) {
  EXPECT_EQ(23, ov::error_code_of(sys(ENOENT)));
  EXPECT_EQ(24, ov::error_code_of(sys(EPERM)));
  EXPECT_EQ(24, ov::error_code_of(sys(EACCES)));
  EXPECT_EQ(0, ov::error_code_of(sys(0)));
  EXPECT_EQ(125, ov::error_code_of(sys(EBUSY)));
  EXPECT_EQ(25, ov::error_code_of(sys(ENOTDIR)));
  EXPECT_EQ(28, ov::error_code_of(sys(EROFS)));
  EXPECT_EQ(60, ov::error_code_of(sys(EINVAL)));
  EXPECT_EQ(27, ov::error_code_of(sys(EEXIST)));
  EXPECT_EQ(34, ov::error_code_of(sys(EADDRINUSE)));
  EXPECT_EQ(37, ov::error_code_of(sys(EXDEV)));
  EXPECT_EQ(21, ov::error_code_of(sys(ENOMEM)));
  EXPECT_EQ(23,
            ov::error_code_of(boost::system::errc::make_error_code(boost::system::errc::no_such_file_or_directory)));
  EXPECT_EQ(0, ov::error_code_of(boost::system::error_code()));
  // The ov rule comes first; undefined numbers fall through to 125.
  EXPECT_EQ(24, ov::error_code_of(ov::make_error_code(ov::EC_PERMISSION_DENIED)));
  EXPECT_EQ(2, ov::error_code_of(ov::make_error_code(code(2))));
  EXPECT_EQ(125, ov::error_code_of(ov::make_error_code(code(14))));
}

TEST(error_code_of, std_codes) {
  EXPECT_EQ(23, ov::error_code_of(std::error_code(ENOENT, std::system_category())));
  EXPECT_EQ(24, ov::error_code_of(std::make_error_code(std::errc::operation_not_permitted)));
  EXPECT_EQ(24, ov::error_code_of(std::error_code(EACCES, std::generic_category())));
  EXPECT_EQ(37, ov::error_code_of(std::error_code(EXDEV, std::system_category())));
  EXPECT_EQ(21, ov::error_code_of(std::error_code(ENOMEM, std::system_category())));
  EXPECT_EQ(125, ov::error_code_of(std::error_code(EBUSY, std::system_category())));
  EXPECT_EQ(0, ov::error_code_of(std::error_code(0, std::future_category())));
  EXPECT_EQ(125, ov::error_code_of(std::make_error_code(std::future_errc::no_state)));
}

struct my_bad_alloc_t : std::bad_alloc {
  const char* what() const noexcept override { return "pool exhausted"; }
};

TEST(error_code_of, exceptions) {
  EXPECT_EQ(23, ov::error_code_of(std::system_error(std::error_code(ENOENT, std::system_category()), "open")));
  EXPECT_EQ(24, ov::error_code_of(boost::system::system_error(sys(EACCES), "open")));
  EXPECT_EQ(25, ov::error_code_of(boost::filesystem::filesystem_error("stat", "/x", sys(ENOTDIR))));
  EXPECT_EQ(24, ov::error_code_of(ov::cf_proto_exception_t(ov::EC_PERMISSION_DENIED, "x")));
  EXPECT_EQ(125, ov::error_code_of(ov::cf_proto_exception_t(code(14), "x")));
  EXPECT_EQ(12, ov::error_code_of(ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION), "x")));
  EXPECT_EQ(24, ov::error_code_of(ov::cf_exception_t(sys(EACCES), "x")));
  EXPECT_EQ(21, ov::error_code_of(std::bad_alloc()));
  EXPECT_EQ(21, ov::error_code_of(std::bad_array_new_length()));
  EXPECT_EQ(21, ov::error_code_of(my_bad_alloc_t()));
  EXPECT_EQ(125, ov::error_code_of(mq::util::ipc_error_t("bad frame")));
  EXPECT_EQ(125, ov::error_code_of(std::runtime_error("x")));
  EXPECT_EQ(125, ov::error_code_of(std::logic_error("x")));
}

TEST(error_code_of, captured_exceptions) {
  EXPECT_EQ(0, ov::error_code_of(std::exception_ptr()));
  EXPECT_EQ(23, ov::error_code_of(capture(boost::filesystem::filesystem_error("stat", sys(ENOENT)))));
  EXPECT_EQ(21, ov::error_code_of(capture(my_bad_alloc_t())));
  EXPECT_EQ(125, ov::error_code_of(capture(ov::EC_BAD_CONFIG)));
  EXPECT_EQ(125, ov::error_code_of(capture(42)));
}

std::string text_of(const std::string& what) { return ov::exception_text(std::runtime_error(what)); }

TEST(exception_text, boost_prefix_rule) {
  EXPECT_EQ("", text_of("boost::"));
  EXPECT_EQ("c", text_of("boost::a::b::c"));
  EXPECT_EQ("status: x", text_of("boost::filesystem::status: x"));
  EXPECT_EQ("asio: x", text_of("boost::asio: x"));
  EXPECT_EQ("  x", text_of("boost::a::  x"));
  EXPECT_EQ(":b", text_of("boost::a:::b"));
  EXPECT_EQ("error in boost::a::b", text_of("error in boost::a::b"));
  EXPECT_EQ(" boost::a::b", text_of(" boost::a::b"));
  EXPECT_EQ("boost:a::b", text_of("boost:a::b"));
  EXPECT_EQ("Boost::a::b", text_of("Boost::a::b"));
  EXPECT_EQ("x", text_of("boost::A_1::b2::x"));
}

TEST(exception_text, opendir_replacement) {
  EXPECT_EQ("opendir:", text_of("boost::filesystem::directory_iterator::construct:"));
  EXPECT_EQ("opendir: No such file or directory [system:2]: \"/q\"",
            text_of("boost::filesystem::directory_iterator::construct: No such file or directory [system:2]: \"/q\""));
  EXPECT_EQ("constructor", text_of("boost::filesystem::directory_iterator::constructor"));
  EXPECT_EQ("construct", text_of("boost::filesystem::directory_iterator::construct"));
  EXPECT_EQ("construct: x", text_of("boost::x::filesystem::directory_iterator::construct: x"));
  EXPECT_EQ("construct: x", text_of("boost::filesystem::recursive_directory_iterator::construct: x"));
  // The replaced text of a real directory iterator failure.
  try {
    boost::filesystem::directory_iterator it("/nonexistent/mq-test-dir");
    FAIL() << "directory iterator did not throw";
  } catch (const boost::filesystem::filesystem_error& e) {
    std::string text = ov::exception_text(e);
    EXPECT_EQ(0u, text.rfind("opendir:", 0)) << text;
    EXPECT_NE(std::string::npos, text.find("/nonexistent/mq-test-dir")) << text;
  }
}

TEST(exception_text, replaced_text_is_per_thread) {
  std::runtime_error mine("boost::filesystem::directory_iterator::construct: mine");
  const char* text = ov::exception_text(mine);
  std::thread other([] {
    std::runtime_error theirs("boost::filesystem::directory_iterator::construct: theirs and much longer than mine");
    EXPECT_STREQ("opendir: theirs and much longer than mine", ov::exception_text(theirs));
  });
  other.join();
  EXPECT_STREQ("opendir: mine", text);
}

TEST(exception_text, bad_alloc_rules) {
  EXPECT_STREQ("Not enough memory", ov::exception_text(std::bad_alloc()));
  // Subclasses keep their own text.
  EXPECT_STREQ(std::bad_array_new_length().what(), ov::exception_text(std::bad_array_new_length()));
  EXPECT_STREQ("pool exhausted", ov::exception_text(my_bad_alloc_t()));
}

TEST(exception_text, captured_exceptions) {
  EXPECT_EQ("Success", ov::exception_text(std::exception_ptr()));
  EXPECT_EQ("c", ov::exception_text(capture(std::runtime_error("boost::a::b::c"))));
  EXPECT_EQ("Not enough memory", ov::exception_text(capture(std::bad_alloc())));
  EXPECT_EQ("ErrorCode: Invalid configuration", ov::exception_text(capture(ov::EC_BAD_CONFIG)));
  EXPECT_EQ("ErrorCode: 200", ov::exception_text(capture(code(200))));
  EXPECT_EQ("Unexpected exception", ov::exception_text(capture(42)));
  EXPECT_EQ("opendir: gone",
            ov::exception_text(capture(std::runtime_error("boost::filesystem::directory_iterator::construct: gone"))));
}

TEST(make_error, fills_code_and_text) {
  ov::Error error;
  ov::make_error(error, capture(boost::filesystem::filesystem_error("boost::filesystem::status", "/a", sys(ENOENT))));
  EXPECT_EQ(ov::EC_NO_SUCH_ENTRY, error.code());
  EXPECT_EQ("status: No such file or directory [system:2]: \"/a\"", error.what());

  ov::make_error(error, std::exception_ptr());
  EXPECT_EQ(ov::EC_OK, error.code());
  ASSERT_TRUE(error.has_what());
  EXPECT_EQ("Success", error.what());

  ov::make_error(error, capture(ov::EC_BAD_CONFIG));
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, error.code());
  EXPECT_EQ("ErrorCode: Invalid configuration", error.what());

  ov::make_error(error, capture(mq::util::ipc_error_t("Missing field")));
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, error.code());
  EXPECT_EQ("Missing field", error.what());
  EXPECT_TRUE(error.IsInitialized());
}

}  // namespace
