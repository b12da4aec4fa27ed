#include "api/error.h"

#include "store/entry_not_found.h"

namespace mq::api {

bool is_entry_not_found(const ov::Error& error) { return error.what() == store::entry_not_found_text; }

void throw_error(const ov::Error& error) {
  if (is_entry_not_found(error)) throw entry_not_found_t(error.code(), error.what());
  throw daemon_error_t(error.code(), error.what());
}

}  // namespace mq::api
