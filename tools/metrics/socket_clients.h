#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "metrics/sample.h"

namespace mq::metrics {

// Connections the daemon has accepted on the socket file at `path`, from the
// kernel's socket diagnostics: an accepted socket carries the name of its
// listener. nullopt when the file or the list cannot be read. Linux only,
// which the daemon is.
std::optional<std::uint64_t> count_connections(const std::string& path);

socket_clients_t count_clients(const std::string& sorter_socket, const std::string& client_socket);

}  // namespace mq::metrics
