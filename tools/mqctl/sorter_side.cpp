// Commands over the Sorter socket.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "details.h"
#include "errors.h"
#include "output.h"
#include "time_text.h"

namespace mqctl {

namespace {

using request_t = sorter_session_t::request_t;
using response_t = sorter_session_t::response_t;

// Keys asked for per page when walking a whole queue.
constexpr std::uint64_t walk_page_size = 100;

[[noreturn]] void file_failure(const std::string& what, const std::string& path) {
  throw file_error_t("cannot " + what + " " + path + ": " + std::strerror(errno));
}

// An open message file and the size that goes with it.
struct message_file_t {
  mq::util::unique_fd_t fd;
  std::uint64_t size = 0;
};

message_file_t open_message(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) file_failure("open", path);
  message_file_t file{mq::util::unique_fd_t(fd), 0};
  struct stat st {};
  if (::fstat(fd, &st) != 0) file_failure("stat", path);
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    throw file_error_t("cannot send " + path + ": not a regular file");
  }
  file.size = static_cast<std::uint64_t>(st.st_size);
  // The store keeps no empty message; said here in words, before sending.
  if (file.size == 0)
    throw file_error_t("cannot send " + path + ": the file is empty (0 bytes), and an entry needs a message");
  return file;
}

// Copies the whole file behind `fd`, from its start, to `out_fd`.
void copy_file(int fd, int out_fd, const std::string& out_name) {
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      file_failure("read the message for", out_name);
    }
    if (n == 0) return;
    offset += n;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out_fd, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        file_failure("write", out_name);
      }
      done += w;
    }
  }
}

std::string key_text(const mq::QueueKey& key) {
  return std::to_string(key.entry_id()) + ":" + std::to_string(key.next_access_ts());
}

boost::json::array keys_json(const google::protobuf::RepeatedPtrField<mq::QueueKey>& keys) {
  boost::json::array items;
  for (const auto& k : keys) items.push_back({{"id", k.entry_id()}, {"next_access_ts", k.next_access_ts()}});
  return items;
}

std::string strings_joined(const google::protobuf::RepeatedPtrField<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += " " + item;
  return out;
}

void print_entry(const context_t& ctx, std::ostream& out, const response_t& r, const std::string& out_path) {
  const mq::Entry& e = r.entry();
  if (ctx.json) {
    boost::json::array recipients, parts;
    for (const auto& rcpt : e.smtp_recipient())
      recipients.push_back({{"recipient", rcpt.recipient()}, {"esmtp", json_strings(rcpt.esmtp())}});
    boost::json::object connect;
    const auto& c = e.smtp_connect();
    if (c.has_helo()) connect["helo"] = c.helo();
    if (c.has_address()) connect["address"] = c.address();
    if (c.has_port()) connect["port"] = c.port();
    if (c.has_proto()) connect["proto"] = c.proto();
    for (const auto& p : e.mime_part()) {
      boost::json::array samples;
      for (const auto& s : p.kavren_sample()) {
        boost::json::array analyses;
        for (const auto& a : s.analysis()) analyses.push_back({{"params", a.params()}, {"id", a.id()}});
        samples.push_back({{"id", s.id()}, {"analyses", analyses}});
      }
      parts.push_back({{"path", p.path()}, {"samples", samples}});
    }
    boost::json::object obj{{"id", r.entry_id()}, {"status", status_name(r.status())}};
    if (e.has_session_id()) obj["session_id"] = e.session_id();
    obj["received_ts"] = e.received_ts();
    obj["next_access_ts"] = e.next_access_ts();
    obj["attempts"] = e.attempts();
    obj["message_size"] = e.message_size();
    obj["sender"] = e.smtp_sender().sender();
    obj["sender_esmtp"] = json_strings(e.smtp_sender().esmtp());
    obj["recipients"] = recipients;
    obj["smtp_connect"] = connect;
    obj["mime_parts"] = parts;
    if (!out_path.empty()) obj["out"] = out_path;
    out << json_text(obj) << '\n';
    return;
  }
  table_t t({"id:", std::to_string(r.entry_id())});
  t.add({"status:", status_name(r.status())});
  t.add({"session_id:", e.has_session_id() ? e.session_id() : "-"});
  t.add({"received_ts:", std::to_string(e.received_ts())});
  t.add({"next_access_ts:", std::to_string(e.next_access_ts())});
  t.add({"attempts:", std::to_string(e.attempts())});
  t.add({"message_size:", std::to_string(e.message_size())});
  const std::string& sender = e.smtp_sender().sender();
  t.add({"sender:", (sender.empty() ? "<>" : sender) + strings_joined(e.smtp_sender().esmtp())});
  for (const auto& rcpt : e.smtp_recipient()) t.add({"recipient:", rcpt.recipient() + strings_joined(rcpt.esmtp())});
  const auto& c = e.smtp_connect();
  if (c.has_helo()) t.add({"helo:", c.helo()});
  if (c.has_address()) t.add({"address:", c.address()});
  if (c.has_port()) t.add({"port:", std::to_string(c.port())});
  if (c.has_proto()) t.add({"proto:", c.proto()});
  for (const auto& p : e.mime_part())
    t.add({"mime_part:", p.path() + " (" + std::to_string(p.kavren_sample_size()) + " samples)"});
  if (!out_path.empty()) t.add({"written to:", out_path});
  t.print(out);
}

// One id from the command line, or "-" for one read from standard input.
std::uint64_t one_id(const std::string& word) {
  const auto ids = parse_ids({word});
  if (ids.size() != 1) throw usage_error_t("expected one entry id, got " + std::to_string(ids.size()));
  return ids[0];
}

// A request about one entry: an unknown id is said so in words.
response_t call_on_entry(sorter_session_t& session, const request_t& request, response_t::Tag expected, int fd = -1,
                         mq::util::unique_fd_t* out_fd = nullptr) {
  try {
    return session.call(request, expected, fd, out_fd);
  } catch (const mq::api::entry_not_found_t&) {
    throw not_found_error_t("no entry " + std::to_string(request.entry_id()));
  }
}

}  // namespace

int run_put(const context_t& ctx, const args_t& args) {
  args.expect_positional(1, "put FILE [--sender S] [--rcpt R]... [--status S] [--session-id ID] ...");
  int status = 1;
  if (auto v = args.value("status")) status = parse_status(*v);
  request_t request;
  request.set_tag(request_t::PUT_ENTRY_REQUEST);
  request.set_status(static_cast<mq::Status>(status));
  mq::Entry* entry = request.mutable_entry();
  if (auto v = args.value("sender")) entry->mutable_smtp_sender()->set_sender(*v);
  for (const auto& r : args.all("rcpt")) entry->add_smtp_recipient()->set_recipient(r);
  if (auto v = args.value("session-id")) entry->set_session_id(*v);
  const std::uint64_t now = now_seconds();
  const auto received = args.value("received-ts");
  entry->set_received_ts(received ? parse_time(*received, "--received-ts", now) : now);
  if (auto v = args.value("next-access-ts")) entry->set_next_access_ts(parse_time(*v, "--next-access-ts", now));
  if (auto v = args.value("helo")) entry->mutable_smtp_connect()->set_helo(*v);
  if (auto v = args.value("address")) entry->mutable_smtp_connect()->set_address(*v);
  if (auto v = args.value("port")) {
    const std::uint64_t port = parse_u64(*v, "port");
    if (port > 65535) throw usage_error_t("invalid port: '" + *v + "'");
    entry->mutable_smtp_connect()->set_port(static_cast<std::uint32_t>(port));
  }
  if (auto v = args.value("proto")) entry->mutable_smtp_connect()->set_proto(*v);

  const message_file_t file = open_message(args.positional()[0]);
  entry->set_message_size(file.size);
  sorter_session_t session(ctx.sorter_socket, ctx.timeout_ms);
  const response_t response = session.call(request, response_t::PUT_ENTRY_RESPONSE, file.fd.get());
  if (ctx.json) {
    *ctx.out << json_text({{"id", response.entry_id()}}) << '\n';
  } else {
    *ctx.out << response.entry_id() << '\n';
  }
  return exit_ok;
}

int run_get(const context_t& ctx, const args_t& args) {
  args.expect_positional(1, "get ID [--out FILE]");
  const std::uint64_t id = one_id(args.positional()[0]);
  const std::string out_path = args.value("out").value_or("");
  sorter_session_t session(ctx.sorter_socket, ctx.timeout_ms);
  mq::util::unique_fd_t message;
  const response_t response = call_on_entry(session, get_request(id), response_t::GET_ENTRY_RESPONSE, -1, &message);
  if (!message) throw connection_error_t("the daemon sent entry " + std::to_string(id) + " without its message file");

  if (out_path.empty()) {
    // The message goes to standard output, so the metadata goes aside.
    ctx.out->flush();
    copy_file(message.get(), STDOUT_FILENO, "standard output");
    print_entry(ctx, *ctx.err, response, "");
    return exit_ok;
  }
  const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out_fd < 0) file_failure("create", out_path);
  mq::util::unique_fd_t out(out_fd);
  copy_file(message.get(), out.get(), out_path);
  if (::close(out.release()) != 0) file_failure("write", out_path);
  print_entry(ctx, *ctx.out, response, out_path);
  return exit_ok;
}

int run_update(const context_t& ctx, const args_t& args) {
  args.expect_positional(1,
                         "update ID [--attempts N] [--next-access-ts TS] [--status S] [--rcpt R]... "
                         "[--sender S] [--file NEW]");
  const std::uint64_t id = one_id(args.positional()[0]);
  request_t request = sorter_session_t::entry_request(request_t::UPDATE_ENTRY_REQUEST, id);
  mq::EntryUpdate* update = request.mutable_entry_update();
  if (auto v = args.value("attempts")) update->set_attempts(parse_u64(*v, "attempts"));
  if (auto v = args.value("next-access-ts"))
    update->set_next_access_ts(parse_time(*v, "--next-access-ts", now_seconds()));
  if (auto v = args.value("status")) update->set_status(static_cast<mq::Status>(parse_status(*v)));
  if (auto v = args.value("sender")) update->mutable_smtp_sender()->set_sender(*v);
  for (const auto& r : args.all("rcpt")) update->add_smtp_recipient()->set_recipient(r);
  std::optional<message_file_t> file;
  if (auto v = args.value("file")) {
    file = open_message(*v);
    update->set_message_size(file->size);
  }
  // Each option sets a field: with none set there is nothing to change.
  if (update->ByteSizeLong() == 0) throw usage_error_t("update: nothing to change");

  sorter_session_t session(ctx.sorter_socket, ctx.timeout_ms);
  // An update of an unknown id succeeds without doing anything: look first.
  call_on_entry(session, get_request(id), response_t::GET_ENTRY_RESPONSE);
  call_on_entry(session, request, response_t::UPDATE_ENTRY_RESPONSE, file ? file->fd.get() : -1);
  if (ctx.json) {
    *ctx.out << json_text({{"id", id}, {"updated", true}}) << '\n';
  } else {
    *ctx.out << "Updated entry " << id << '\n';
  }
  return exit_ok;
}

int run_ids(const context_t& ctx, const args_t& args) {
  args.expect_positional(1, "ids STATUS [--due TS] [--limit N] [--after ID:TS]");
  const int status = parse_status(args.positional()[0]);
  std::optional<std::uint64_t> limit;
  if (auto v = args.value("limit")) limit = parse_u64(*v, "limit");
  std::optional<std::uint64_t> due;
  if (auto v = args.value("due")) due = parse_time(*v, "--due", now_seconds());
  mq::QueueKey after;
  after.set_entry_id(0);
  after.set_next_access_ts(0);
  if (auto v = args.value("after")) {
    const auto key = parse_key(*v);
    after.set_entry_id(key.first);
    after.set_next_access_ts(key.second);
  }

  sorter_session_t session(ctx.sorter_socket, ctx.timeout_ms);
  google::protobuf::RepeatedPtrField<mq::QueueKey> keys;
  // The daemon may answer with a shorter page than asked for: go on from
  // the last key until the limit is reached or a page comes back empty.
  const std::uint64_t wanted =
      limit ? (*limit == 0 ? walk_page_size : *limit) : std::numeric_limits<std::uint64_t>::max();
  bool more = false;
  for (;;) {
    const response_t response = session.page(static_cast<mq::Status>(status), mq::api::key_of(after),
                                             limit ? wanted - static_cast<std::uint64_t>(keys.size()) : walk_page_size);
    if (response.queue_key_list_size() == 0) break;
    bool past_due = false;
    for (const auto& key : response.queue_key_list()) {
      // Keys come in time order: the first one not yet due ends the list.
      if (due && key.next_access_ts() > *due) {
        past_due = true;
        break;
      }
      *keys.Add() = key;
      after = key;
      if (static_cast<std::uint64_t>(keys.size()) >= wanted) break;
    }
    if (past_due) break;
    if (static_cast<std::uint64_t>(keys.size()) >= wanted) {
      // A page that ends exactly at the limit may be the last one: ask for
      // one more key before offering a next page.
      const response_t probe = session.page(static_cast<mq::Status>(status), mq::api::key_of(after), 1);
      more = probe.queue_key_list_size() > 0 && (!due || probe.queue_key_list(0).next_access_ts() <= *due);
      break;
    }
  }

  if (ctx.json) {
    boost::json::object out{{"status", status_name(status)}, {"keys", keys_json(keys)}};
    if (limit && more) out["next_after"] = key_text(after);
    *ctx.out << json_text(out) << '\n';
    return exit_ok;
  }
  table_t table({"ID", "NEXT_ACCESS_TS"});
  for (const auto& key : keys) table.add({std::to_string(key.entry_id()), std::to_string(key.next_access_ts())});
  table.print(*ctx.out);
  *ctx.out << keys.size() << (keys.size() == 1 ? " id" : " ids") << " in " << status_name(status) << '\n';
  if (limit && more) *ctx.out << "next page: --after " << key_text(after) << '\n';
  return exit_ok;
}

int run_watch(const context_t& ctx, const args_t& args) {
  args.expect_positional(0, "watch [--count N]");
  std::optional<std::uint64_t> count;
  if (auto v = args.value("count")) count = parse_u64(*v, "count");
  sorter_session_t session(ctx.sorter_socket, ctx.timeout_ms);
  session.subscribe();
  // The subscription has no answer; a request behind it on the same
  // connection is handled after it, so its answer proves it is in place.
  request_t probe;
  probe.set_tag(request_t::GET_ENTRY_IDS_REQUEST);
  probe.set_status(mq::SMTP_FRESH);
  probe.set_limit(1);
  const std::uint32_t probe_serial = session.send(probe);

  bool watching = false;
  std::uint64_t seen = 0;
  while (!count || seen < *count) {
    const response_t m = session.receive(nullptr, watching ? -1 : mq::api::channel_t::channel_timeout,
                                         sorter_session_t::notifications_t::deliver);
    if (m.tag() == response_t::QUEUE_CHANGE_NOTIFICATION) {
      ++seen;
      if (ctx.json) {
        *ctx.out << json_text({{"status", status_name(m.status())}, {"keys", keys_json(m.queue_key_list())}}) << '\n';
      } else {
        std::string line = status_name(m.status()) + ":";
        for (const auto& key : m.queue_key_list()) line += " " + key_text(key);
        *ctx.out << line << '\n';
      }
      ctx.out->flush();
      continue;
    }
    sorter_session_t::throw_if_alarm(m);
    if (!watching && m.tag() == response_t::GET_ENTRY_IDS_RESPONSE && m.serial() == probe_serial) {
      watching = true;
      *ctx.err << "Watching flushes of " << session.store_path()
               << ": the keys each flush made due (puts, updates and removals are not announced) (Ctrl-C to stop)"
               << std::endl;
      continue;
    }
    throw connection_error_t("unexpected message from the daemon: " + response_t::Tag_Name(m.tag()));
  }
  return exit_ok;
}

}  // namespace mqctl
