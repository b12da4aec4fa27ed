#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace mq::metrics {

// What one statistics request and one page of one key per status tell.
struct queue_sample_t {
  struct status_t {
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    // Next access time of the earliest entry that has one (not 0).
    std::optional<std::uint64_t> first_due_ts;
  };
  std::array<status_t, 4> statuses;
  double seconds = 0;  // how long the daemon took to answer all of it
};

// Open connections of each socket, as the kernel lists them.
struct socket_clients_t {
  std::optional<std::uint64_t> sorter;
  std::optional<std::uint64_t> client;
};

// The file system of the spool directory, in bytes.
struct spool_space_t {
  std::uint64_t size = 0;
  std::uint64_t free = 0;
  std::uint64_t reserve = 0;  // what a put must leave free
};

// What only the supervisor knows.
struct supervisor_sample_t {
  bool up = false;                                // running and ready with a configuration
  std::map<std::string, std::uint64_t> restarts;  // by reason
  std::optional<double> last_restart_time;        // seconds since the epoch
  std::optional<std::uint32_t> reported_clients;  // from the last statistics
  std::uint64_t stat_reports = 0;
  std::optional<std::uint32_t> config_revision;  // the last one applied
  std::optional<spool_space_t> spool;
  // The last probe of the queues, answered or not (shared_probe_t).
  std::optional<double> probe_seconds;
};

}  // namespace mq::metrics
