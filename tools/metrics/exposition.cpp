#include "metrics/exposition.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>

#include "api/status_name.h"

namespace mq::metrics {

namespace {

class writer_t {
 public:
  void family(const char* name, const char* type, const char* help) {
    out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  }
  // A family of one sample without labels.
  void single(const char* name, const char* type, const char* help, double value) {
    family(name, type, help);
    sample(name, "", value);
  }
  void sample(const char* name, const std::string& labels, double value) {
    out_ << name;
    if (!labels.empty()) out_ << '{' << labels << '}';
    out_ << ' ' << number(value) << '\n';
  }
  std::string text() const { return out_.str(); }

 private:
  // Integers as integers, up to 2^53 exactly; others with enough digits.
  static std::string number(double v) {
    char buf[40];
    if (std::floor(v) == v && std::fabs(v) < 9007199254740992.0)
      std::snprintf(buf, sizeof buf, "%.0f", v);
    else
      std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
  }

  std::ostringstream out_;
};

std::string status_label(std::size_t i) { return std::string("status=\"") + api::status_names[i] + '"'; }

}  // namespace

std::string render(const queue_sample_t* queue, const socket_clients_t& clients, const supervisor_sample_t* supervisor,
                   std::uint64_t now) {
  writer_t w;
  w.single("mail_quarantine_queue_probe_success", "gauge",
           "Whether the daemon answered the statistics request and the first page of each queue.", queue ? 1 : 0);
  // The supervisor times failed probes too: a daemon that stops answering
  // shows as slow, not as a gap.
  const auto probe_seconds = supervisor && supervisor->probe_seconds ? supervisor->probe_seconds
                             : queue                                 ? std::optional<double>(queue->seconds)
                                                                     : std::nullopt;
  if (probe_seconds)
    w.single("mail_quarantine_queue_probe_duration_seconds", "gauge",
             "How long the last probe of the queues took: until the daemon's last answer, or until the probe "
             "failed (at most its time limit, 5 s in mq-overseer).",
             *probe_seconds);
  if (queue) {
    w.family("mail_quarantine_queue_messages", "gauge", "Messages in the status queue.");
    for (std::size_t i = 0; i < 4; ++i)
      w.sample("mail_quarantine_queue_messages", status_label(i), static_cast<double>(queue->statuses[i].messages));
    w.family("mail_quarantine_queue_size_bytes", "gauge", "Bytes of the message files in the status queue.");
    for (std::size_t i = 0; i < 4; ++i)
      w.sample("mail_quarantine_queue_size_bytes", status_label(i), static_cast<double>(queue->statuses[i].bytes));
    w.family("mail_quarantine_queue_oldest_overdue_seconds", "gauge",
             "How long the most overdue entry of the status queue has been due (0 when none is; entries made due "
             "at once by a flush or retry carry no time and do not count).");
    for (std::size_t i = 0; i < 4; ++i) {
      const auto& due = queue->statuses[i].first_due_ts;
      w.sample("mail_quarantine_queue_oldest_overdue_seconds", status_label(i),
               due && *due < now ? static_cast<double>(now - *due) : 0);
    }
  }
  if (clients.sorter || clients.client) {
    w.family("mail_quarantine_socket_connections", "gauge", "Open connections to each socket of the daemon.");
    if (clients.sorter) w.sample("mail_quarantine_socket_connections", "socket=\"sorter\"", double(*clients.sorter));
    if (clients.client) w.sample("mail_quarantine_socket_connections", "socket=\"client\"", double(*clients.client));
  }
  if (supervisor) {
    const auto& s = *supervisor;
    w.single("mail_quarantine_up", "gauge", "Whether the daemon runs and has applied a configuration.", s.up ? 1 : 0);
    w.family("mail_quarantine_restarts_total", "counter", "Restarts of the daemon by the supervisor, by reason.");
    for (const char* reason : {"requested", "exited", "killed"}) {
      const auto it = s.restarts.find(reason);
      w.sample("mail_quarantine_restarts_total", std::string("reason=\"") + reason + '"',
               it == s.restarts.end() ? 0 : static_cast<double>(it->second));
    }
    if (s.last_restart_time)
      w.single("mail_quarantine_last_restart_timestamp_seconds", "gauge",
               "When the supervisor last restarted the daemon, in seconds since the epoch.", *s.last_restart_time);
    if (s.config_revision)
      w.single("mail_quarantine_config_revision", "gauge", "Revision of the configuration the daemon last applied.",
               *s.config_revision);
    w.single("mail_quarantine_stat_reports_total", "counter", "Statistics reports the daemon has sent.",
             static_cast<double>(s.stat_reports));
    if (s.spool) {
      w.single("mail_quarantine_spool_filesystem_size_bytes", "gauge",
               "Size of the file system of the spool directory.", static_cast<double>(s.spool->size));
      w.single("mail_quarantine_spool_filesystem_free_bytes", "gauge",
               "Free bytes of the file system of the spool directory, as the daemon may use them.",
               static_cast<double>(s.spool->free));
      w.single("mail_quarantine_spool_reserve_bytes", "gauge",
               "Free bytes a put must leave on that file system; a put that would take them fails.",
               static_cast<double>(s.spool->reserve));
    }
    if (s.reported_clients)
      w.single("mail_quarantine_clients", "gauge",
               "Connections of both sockets together, as the daemon last reported them.", *s.reported_clients);
  }
  return w.text();
}

}  // namespace mq::metrics
