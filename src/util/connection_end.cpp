#include "util/connection_end.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace mq::util {

bool is_end_of_file(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::eof;
  } catch (...) {
  }
  return false;
}

std::string what_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "Unexpected exception";
}

}  // namespace mq::util
