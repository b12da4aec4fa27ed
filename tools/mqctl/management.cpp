// Commands over the client socket.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <re2/re2.h>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "selection.h"

namespace mqctl {

namespace {

using request_t = client_session_t::request_t;
using response_t = client_session_t::response_t;

}  // namespace

int run_stat(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "stat");
  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  const response_t response = session.stat();
  const std::pair<int, const response_t::QueueStat*> stats[] = {
      {1, &response.smtp_fresh_stat()},
      {2, &response.smtp_accepted_stat()},
      {3, &response.bcc_fresh_stat()},
      {4, &response.bcc_accepted_stat()},
  };
  if (ctx.json) {
    boost::json::object out;
    for (const auto& [status, stat] : stats)
      out[status_name(status)] = {{"messages", stat->total_messages()}, {"bytes", stat->total_bytes()}};
    *ctx.out << json_text(out) << '\n';
    return exit_ok;
  }
  table_t table({"STATUS", "MESSAGES", "BYTES"});
  std::uint64_t messages = 0, bytes = 0;
  for (const auto& [status, stat] : stats) {
    table.add({status_name(status), std::to_string(stat->total_messages()), std::to_string(stat->total_bytes())});
    messages += stat->total_messages();
    bytes += stat->total_bytes();
  }
  table.add({"total", std::to_string(messages), std::to_string(bytes)});
  table.print(*ctx.out);
  return exit_ok;
}

int run_flush(const context_t& ctx, const args_t& args) {
  args.expect_positional(1, "flush STATUS");
  const int status = parse_status(args.positional()[0]);
  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  const response_t response = session.flush(static_cast<mq::Status>(status));
  if (ctx.json) {
    *ctx.out << json_text({{"status", status_name(status)}, {"report", response.report()}}) << '\n';
  } else {
    *ctx.out << response.report() << '\n';
  }
  return exit_ok;
}

namespace {

// The counters of the daemon's check report, by the words of its lines.
struct check_counts_t {
  std::uint64_t orphaned_db_records = 0, orphaned_files = 0, orphaned_bytes = 0, removed_files = 0, removed_bytes = 0,
                non_regular_files = 0;
  bool found() const { return orphaned_db_records || orphaned_files || non_regular_files; }
};

check_counts_t parse_report(const std::string& report) {
  static const RE2 records("(?:Removed )?(\\d+) orphaned DB records"),
      files("(\\d+) orphaned message files \\((\\d+) bytes\\)"),
      removed("Removed (\\d+)/(\\d+) orphaned message files \\((\\d+)/(\\d+) bytes\\)"),
      non_regular("(?:Didn't remove )?(\\d+) non-regular files in the message directory.*");
  check_counts_t c;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    if (RE2::FullMatch(line, records, &c.orphaned_db_records)) continue;
    if (RE2::FullMatch(line, files, &c.orphaned_files, &c.orphaned_bytes)) continue;
    if (RE2::FullMatch(line, removed, &c.removed_files, &c.orphaned_files, &c.removed_bytes, &c.orphaned_bytes))
      continue;
    RE2::FullMatch(line, non_regular, &c.non_regular_files);
  }
  return c;
}

// What --list finds by itself: entries the daemon cannot read, files no
// entry owns, and what is no regular file in the message directory.
struct listing_t {
  std::vector<std::pair<std::uint64_t, std::string>> records;  // id, the daemon's error
  std::vector<std::pair<std::string, std::uint64_t>> files;    // name, size
  std::vector<std::string> non_regular;
  bool found() const { return !records.empty() || !files.empty() || !non_regular.empty(); }
};

listing_t list_problems(const context_t& ctx) {
  using sorter_response_t = sorter_session_t::response_t;
  sorter_session_t sorter(ctx.sorter_socket, ctx.timeout_ms);
  const std::string dir = sorter.store_path() + "/queue";
  listing_t out;
  // The directory first: a file put after this is not seen at all.
  std::map<std::string, std::uint64_t> files;
  const std::string prefix = dir + "/";
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw file_error_t("cannot read the message directory " + dir + ": " + std::strerror(errno));
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::lstat((prefix + name).c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      files[name] = static_cast<std::uint64_t>(st.st_size);
    } else {
      out.non_regular.push_back(name);
    }
  }
  ::closedir(d);

  client_session_t client(ctx.client_socket, ctx.timeout_ms);
  args_t none({}, selection_t::options());
  const selection_t all(none, std::nullopt, true, "check");
  std::vector<std::uint64_t> ids;
  all.walk(client, [&ids](int, const brief_t& e, const detail_t*) {
    ids.push_back(e.id());
    return true;
  });
  for (const std::uint64_t id : ids) {
    mq::util::unique_fd_t fd;
    try {
      sorter.call(get_request(id), sorter_response_t::GET_ENTRY_RESPONSE, -1, &fd);
    } catch (const mq::api::entry_not_found_t&) {
      continue;
    } catch (const daemon_error_t& e) {
      out.records.emplace_back(id, e.what());
      continue;
    }
    // The descriptor names the entry's file.
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
    const ssize_t n = fd ? ::readlink(link.c_str(), target, sizeof target - 1) : -1;
    if (n <= 0) continue;
    const std::string path(target, static_cast<std::size_t>(n));
    files.erase(path.substr(path.rfind('/') + 1));
  }
  // A file whose entry was removed meanwhile went with it.
  for (const auto& [name, size] : files) {
    struct stat st {};
    if (::lstat((prefix + name).c_str(), &st) == 0) out.files.emplace_back(name, size);
  }
  return out;
}

}  // namespace

int run_check(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "check [--fix | --list]");
  const bool fix = args.flag("fix");
  if (fix && args.flag("list")) throw usage_error_t("--fix and --list exclude each other");
  if (args.flag("list")) {
    const listing_t l = list_problems(ctx);
    if (ctx.json) {
      boost::json::array records, files;
      for (const auto& [id, error] : l.records) records.push_back({{"id", id}, {"error", error}});
      for (const auto& [name, size] : l.files) files.push_back({{"name", name}, {"size", size}});
      *ctx.out << json_text({{"problems", l.found()},
                             {"unreadable_entries", records},
                             {"orphaned_message_files", files},
                             {"non_regular_entries", json_strings(l.non_regular)}})
               << '\n';
    } else {
      table_t t({"KIND", "ID_OR_FILE", "DETAIL"});
      for (const auto& [id, error] : l.records) t.add({"unreadable entry", std::to_string(id), error});
      for (const auto& [name, size] : l.files) t.add({"orphaned file", name, std::to_string(size) + " bytes"});
      for (const auto& name : l.non_regular) t.add({"non-regular file", name, "-"});
      if (l.found()) {
        t.print(*ctx.out);
      } else {
        *ctx.out << "No problems found\n";
      }
    }
    return l.found() ? exit_problems : exit_ok;
  }
  client_session_t session(ctx.client_socket, ctx.timeout_ms);
  const response_t response = session.check(fix);
  const std::string& report = response.report();
  const check_counts_t c = parse_report(report);
  if (ctx.json) {
    boost::json::object out{{"fix", fix},
                            {"problems", c.found()},
                            {"orphaned_db_records", c.orphaned_db_records},
                            {"orphaned_files", c.orphaned_files},
                            {"orphaned_bytes", c.orphaned_bytes},
                            {"non_regular_files", c.non_regular_files}};
    if (fix) {
      out["removed_files"] = c.removed_files;
      out["removed_bytes"] = c.removed_bytes;
    }
    out["report"] = report;
    *ctx.out << json_text(out) << '\n';
  } else if (report.empty()) {
    // A repairing check reports nothing when it found nothing.
    *ctx.out << "Nothing to repair\n";
  } else {
    *ctx.out << report;
    if (report.back() != '\n') *ctx.out << '\n';
  }
  return c.found() ? exit_problems : exit_ok;
}

}  // namespace mqctl
