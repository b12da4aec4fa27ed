#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>

#include <boost/system/error_code.hpp>

#include "error.pb.h"

namespace ov {

// Category of error codes whose value is an ov::ErrorCode.
class cf_proto_error_impl_t : public boost::system::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int value) const override;
};

const boost::system::error_category& error_category();

boost::system::error_code make_error_code(ErrorCode code);

// Display text of a code: its lex option, else its value name, else the number.
std::string error_text(ErrorCode code);

ErrorCode error_code_of(const boost::system::error_code& code);
ErrorCode error_code_of(const std::error_code& code);
ErrorCode error_code_of(const std::exception& e);
ErrorCode error_code_of(const std::exception_ptr& e);

// Text of an exception with a leading "boost::...::" prefix removed. The
// pointer is valid until the next call on the same thread or the end of the
// exception's life.
const char* exception_text(const std::exception& e);
std::string exception_text(const std::exception_ptr& e);

// Fills code and text of an error reply from a captured exception.
void make_error(Error& error, const std::exception_ptr& e);

// Name of an ov::ErrorCode value ("EC_OK", ...), or the decimal number.
std::string error_code_name(int code);

class cf_exception_t : public std::runtime_error {
 public:
  cf_exception_t(boost::system::error_code code, const std::string& text) : std::runtime_error(text), code(code) {}
  boost::system::error_code code;
};

class cf_proto_exception_t : public std::runtime_error {
 public:
  cf_proto_exception_t(ErrorCode code, const std::string& text) : std::runtime_error(text), code(code) {}
  ErrorCode code;
};

}  // namespace ov
