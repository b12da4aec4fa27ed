#include "ov/error.h"

#include <cstring>
#include <new>
#include <typeinfo>

#include <boost/system/system_error.hpp>

#include "annotation.pb.h"

namespace ov {

namespace {

// Lex text, else value name; nullptr when the number is not a defined value.
const std::string* defined_text(int value) {
  const google::protobuf::EnumValueDescriptor* d = ErrorCode_descriptor()->FindValueByNumber(value);
  if (!d) return nullptr;
  if (d->options().HasExtension(lex)) return &d->options().GetExtension(lex);
  return &d->name();
}

ErrorCode code_of_generic(const boost::system::error_code& code) {
  using boost::system::errc::errc_t;
  using boost::system::errc::make_error_condition;
  if (code == make_error_condition(errc_t::success)) return EC_OK;
  if (code == make_error_condition(errc_t::permission_denied)) return EC_PERMISSION_DENIED;
  if (code == make_error_condition(errc_t::operation_not_permitted)) return EC_PERMISSION_DENIED;
  if (code == make_error_condition(errc_t::no_such_file_or_directory)) return EC_NO_SUCH_ENTRY;
  if (code == make_error_condition(errc_t::not_a_directory)) return EC_NOT_A_DIRECTORY;
  if (code == make_error_condition(errc_t::read_only_file_system)) return EC_READ_ONLY_FS;
  if (code == make_error_condition(errc_t::invalid_argument)) return EC_INVALID_ARGUMENT;
  if (code == make_error_condition(errc_t::file_exists)) return EC_FILE_EXISTS;
  if (code == make_error_condition(errc_t::address_in_use)) return EC_NAME_ALREADY_IN_USE;
  if (code == make_error_condition(errc_t::cross_device_link)) return EC_CROSS_DEVICE_LINK;
  if (code == make_error_condition(errc_t::not_enough_memory)) return EC_NO_MEMORY;
  return EC_UNEXPECTED_ERROR;
}

// Length of the leading "boost::" followed by "word::" groups, 0 if absent.
std::size_t boost_prefix_length(const char* text) {
  static constexpr char head[] = "boost::";
  std::size_t pos = 0;
  for (; head[pos] != '\0'; ++pos) {
    if (text[pos] != head[pos]) return 0;
  }
  for (;;) {
    std::size_t end = pos;
    while (text[end] == '_' || (text[end] >= '0' && text[end] <= '9') || (text[end] >= 'a' && text[end] <= 'z') ||
           (text[end] >= 'A' && text[end] <= 'Z')) {
      ++end;
    }
    if (end == pos || text[end] != ':' || text[end + 1] != ':') return pos;
    pos = end + 2;
  }
}

}  // namespace

const char* cf_proto_error_impl_t::name() const noexcept { return "ov.Error"; }

std::string cf_proto_error_impl_t::message(int value) const {
  if (const std::string* text = defined_text(value)) return *text;
  return "ov.Error " + std::to_string(value);
}

const boost::system::error_category& error_category() {
  static const cf_proto_error_impl_t instance;
  return instance;
}

boost::system::error_code make_error_code(ErrorCode code) {
  return boost::system::error_code(static_cast<int>(code), error_category());
}

std::string error_text(ErrorCode code) {
  if (const std::string* text = defined_text(code)) return *text;
  return std::to_string(static_cast<int>(code));
}

ErrorCode error_code_of(const boost::system::error_code& code) {
  if (code.category() == error_category()) {
    if (ErrorCode_IsValid(code.value())) return static_cast<ErrorCode>(code.value());
    return EC_UNEXPECTED_ERROR;
  }
  return code_of_generic(code);
}

ErrorCode error_code_of(const std::error_code& code) {
  if (code.value() == 0) return EC_OK;
  if (code == std::errc::permission_denied) return EC_PERMISSION_DENIED;
  if (code == std::errc::operation_not_permitted) return EC_PERMISSION_DENIED;
  if (code == std::errc::no_such_file_or_directory) return EC_NO_SUCH_ENTRY;
  if (code == std::errc::not_a_directory) return EC_NOT_A_DIRECTORY;
  if (code == std::errc::read_only_file_system) return EC_READ_ONLY_FS;
  if (code == std::errc::invalid_argument) return EC_INVALID_ARGUMENT;
  if (code == std::errc::file_exists) return EC_FILE_EXISTS;
  if (code == std::errc::address_in_use) return EC_NAME_ALREADY_IN_USE;
  if (code == std::errc::cross_device_link) return EC_CROSS_DEVICE_LINK;
  if (code == std::errc::not_enough_memory) return EC_NO_MEMORY;
  return EC_UNEXPECTED_ERROR;
}

ErrorCode error_code_of(const std::exception& e) {
  if (auto p = dynamic_cast<const std::system_error*>(&e)) return error_code_of(p->code());
  if (auto p = dynamic_cast<const boost::system::system_error*>(&e)) return error_code_of(p->code());
  if (auto p = dynamic_cast<const cf_proto_exception_t*>(&e)) return error_code_of(make_error_code(p->code));
  if (auto p = dynamic_cast<const cf_exception_t*>(&e)) return error_code_of(p->code);
  if (dynamic_cast<const std::bad_alloc*>(&e)) return EC_NO_MEMORY;
  return EC_UNEXPECTED_ERROR;
}

ErrorCode error_code_of(const std::exception_ptr& e) {
  if (!e) return EC_OK;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return error_code_of(x);
  } catch (...) {
    return EC_UNEXPECTED_ERROR;
  }
}

const char* exception_text(const std::exception& e) {
  static constexpr char dir_prefix[] = "boost::filesystem::directory_iterator::";
  static constexpr std::size_t dir_prefix_length = sizeof(dir_prefix) - 1;
  static constexpr char construct[] = "construct:";
  static constexpr std::size_t construct_length = sizeof(construct) - 1;

  const char* what = e.what();
  if (std::size_t prefix = boost_prefix_length(what)) {
    const char* rest = what + prefix;
    if (prefix == dir_prefix_length && std::strncmp(what, dir_prefix, prefix) == 0 &&
        std::strncmp(rest, construct, construct_length) == 0) {
      thread_local std::string replaced;
      replaced.assign("opendir:");
      replaced.append(rest + construct_length);
      return replaced.c_str();
    }
    return rest;
  }
  if (typeid(e) == typeid(std::bad_alloc)) return "Not enough memory";
  return what;
}

std::string exception_text(const std::exception_ptr& e) {
  if (!e) return error_text(EC_OK);
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return exception_text(x);
  } catch (ErrorCode code) {
    return "ErrorCode: " + error_text(code);
  } catch (...) {
    return "Unexpected exception";
  }
}

void make_error(Error& error, const std::exception_ptr& e) {
  error.set_code(error_code_of(e));
  error.set_what(exception_text(e));
}

std::string error_code_name(int code) {
  if (ErrorCode_IsValid(code)) return ErrorCode_Name(static_cast<ErrorCode>(code));
  return std::to_string(code);
}

}  // namespace ov
