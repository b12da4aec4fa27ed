#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/client_session.h"
#include "api/sorter_session.h"

namespace mqctl {

using mq::api::client_session_t;
using mq::api::sorter_session_t;

// What the listing of the client socket leaves out of an entry.
struct detail_t {
  std::uint64_t received_ts = 0;
  std::uint64_t message_size = 0;
  bool known = true;  // false when the daemon could not read the entry
};

// Reads the received time and size of entries over the Sorter socket, a
// bounded number of requests in flight; the browsing protocol does not
// carry them.
class detail_reader_t {
 public:
  detail_reader_t(const std::string& sorter_socket, int timeout_ms, std::size_t in_flight = 32);

  // The entries of `ids` that still exist; one that is gone meanwhile is
  // left out.
  std::unordered_map<std::uint64_t, detail_t> read(const std::vector<std::uint64_t>& ids);

 private:
  sorter_session_t session_;
  std::size_t in_flight_;
};

// The request for entry `id` and its message file.
sorter_session_t::request_t get_request(std::uint64_t id);

// A reader for a command that can also go without: when the Sorter socket
// is out of reach (a user allowed only on the client socket, say) that is
// told once on `err` and the caller shows "?" instead; with `required` it
// is an error.
std::optional<detail_reader_t> open_details(const std::string& sorter_socket, int timeout_ms, bool required,
                                            std::ostream& err);

}  // namespace mqctl
