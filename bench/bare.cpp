#include "bare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <boost/filesystem.hpp>

#include "payload.h"
#include "store/async_message_dir.h"
#include "store/message_dir.h"
#include "store/metadata_reader.h"
#include "store/metadata_writer.h"
#include "store/sqlite.h"

namespace mq::bench {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The daemon's own system calls without the flushes.
struct no_sync_ops_t : mq::store::file_ops_t {
  int fdatasync(int) override { return 0; }
  int fsync(int) override { return 0; }
} no_sync;

}  // namespace

mq::store::entry_metadata_t bench_metadata(std::uint64_t n, std::uint64_t size) {
  mq::store::entry_metadata_t m;
  m.session_id = session_id_for(n);
  m.message_size = size;
  m.status = mq::store::smtp_fresh;
  m.received_ts = 1700000000 + n;
  m.next_access_ts = 1700000000 + n;
  m.smtp_connect.helo = "mx.bench.example";
  m.smtp_connect.address = "192.0.2.17";
  m.smtp_connect.port = 25;
  m.smtp_connect.proto = "ESMTP";
  m.smtp_sender.sender = "sender" + std::to_string(n % 97) + "@bench.example";
  m.smtp_sender.esmtp = {"SIZE=" + std::to_string(size)};
  m.smtp_recipients.push_back({"one@bench.example", {"NOTIFY=NEVER"}});
  m.smtp_recipients.push_back({"two@bench.example", {}});
  return m;
}

bare_store_t::bare_store_t(const std::string& dir, bool sync) {
  boost::filesystem::create_directories(dir);
  files_ = std::make_unique<mq::store::message_dir_t>(dir + "/queue", sync ? nullptr : &no_sync);
  files_->init(::getuid(), ::getgid());
  writer_ = std::make_unique<mq::store::metadata_writer_t>(dir + "/queue.db", false);
  reader_ = std::make_unique<mq::store::metadata_reader_t>(dir + "/queue.db", false);
}

bare_store_t::~bare_store_t() = default;

std::uint64_t bare_store_t::put(mq::store::entry_metadata_t metadata, const mq::store::shared_file_t& source) {
  metadata.message_filename = mq::store::make_message_filename(metadata.session_id);
  files_->put(metadata.message_filename, source);
  return writer_->put_entry(metadata);
}

mq::store::entry_metadata_t bare_store_t::get(std::int64_t id, std::string& content) {
  auto metadata = reader_->get_entry(id);
  read_whole(files_->get(metadata.message_filename).fd, content);
  return metadata;
}

void bare_store_t::update_file(std::int64_t id, mq::store::entry_metadata_update_t update,
                               const mq::store::shared_file_t& source) {
  update.message_filename = mq::store::make_message_filename(boost::none);
  update.message_size = source.size;
  files_->put(*update.message_filename, source);
  std::string previous = writer_->update_entry(id, update);
  if (!previous.empty()) files_->remove(previous);
}

void bare_store_t::remove(std::int64_t id) {
  auto name = writer_->remove_entry(id);
  if (!name) throw std::runtime_error("bare remove: no entry " + std::to_string(id));
  files_->remove(*name);
}

namespace {

mq::store::queue_chunk_request_t page_request(mq::store::status_t status, std::uint64_t limit,
                                              const api::page_key_t& key) {
  mq::store::queue_chunk_request_t request;
  request.status = status;
  request.limit = limit;
  request.entry_id = static_cast<std::int64_t>(key.entry_id);
  request.next_access_ts = key.next_access_ts;
  return request;
}

// The keys of a page of the database, as a walk reads them.
template <class row_t, class id_t>
std::vector<api::page_key_t> keys_of(const std::vector<row_t>& rows, id_t row_t::*id) {
  std::vector<api::page_key_t> keys;
  keys.reserve(rows.size());
  for (const auto& row : rows) keys.push_back({static_cast<std::uint64_t>(row.*id), row.next_access_ts});
  return keys;
}

}  // namespace

std::vector<api::page_key_t> bare_store_t::page_keys(pages_t pages, mq::store::status_t status, std::uint64_t limit,
                                                     const api::page_key_t& key) {
  const auto request = page_request(status, limit, key);
  if (pages == pages_t::ids) return keys_of(reader_->get_queue_chunk(request), &mq::store::queue_key_t::entry_id);
  return keys_of(reader_->get_queue_chunk_brief(request), &mq::store::entry_brief_t::id);
}

walk_stats_t bare_store_t::walk(pages_t pages, mq::store::status_t status, std::uint64_t limit) {
  return timed_walk([&](const api::page_key_t& key) { return page_keys(pages, status, limit, key); });
}

double bare_store_t::page(pages_t pages, mq::store::status_t status, std::uint64_t limit, const api::page_key_t& key) {
  return timed_page(key, [&](const api::page_key_t& k) { return page_keys(pages, status, limit, k); });
}

double bare_store_t::queue_stat(mq::store::queue_stats_t& stats) {
  double start = now_seconds();
  stats = reader_->get_queue_stat();
  return now_seconds() - start;
}

void fill_queue(const std::string& spool_dir, std::uint64_t count, mq::store::status_t status, bool arrival_order) {
  const std::string queue_dir = spool_dir + "/queue";
  boost::filesystem::create_directories(queue_dir);
  boost::filesystem::permissions(queue_dir, boost::filesystem::perms(0770));
  std::string db_path = spool_dir + "/queue.db";
  // The schema comes from the daemon's own database code.
  { mq::store::metadata_writer_t schema(db_path, false); }

  mq::store::sqlite::connection_t db(db_path);
  db.execute("PRAGMA synchronous=OFF;");
  mq::store::sqlite::transaction_t transaction(db);
  auto entry = db.prepare(
      "INSERT INTO entry(session_id_string, message_filename, message_size, status, received_ts, next_access_ts, "
      "attempts) VALUES (?, ?, 0, ?, ?, ?, 0);");
  auto connect = db.prepare("INSERT INTO smtp_connect(entry_id, helo, address, port, proto) VALUES (?, ?, ?, ?, ?);");
  auto sender = db.prepare("INSERT INTO smtp_sender(entry_id, sender) VALUES (?, ?);");
  auto recipient = db.prepare("INSERT INTO smtp_recipient(entry_id, recipient) VALUES (?, ?);");
  // Each statement once, its bindings cleared for the next row.
  const auto run = [](mq::store::sqlite::statement_t& s) {
    const auto use = s.use();
    s.step();
  };
  for (std::uint64_t n = 0; n < count; ++n) {
    auto m = bench_metadata(n, 0);
    m.message_filename = mq::store::make_message_filename(m.session_id);
    // Times repeat and run against the id order, so that the walk's
    // ordering and tie-breaking are exercised.
    m.next_access_ts = 1700000000 + (arrival_order ? n : (n * 7919) % count) / 3;
    if (n % 10 == 0) m.smtp_recipients.back().recipient = "two@example.org";
    int fd = ::open((queue_dir + "/" + m.message_filename).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) throw_errno("create " + m.message_filename);
    ::close(fd);
    entry.bind_text(1, m.session_id);
    entry.bind_text(2, m.message_filename);
    entry.bind_int64(3, status);
    entry.bind_uint64(4, m.received_ts);
    entry.bind_uint64(5, m.next_access_ts);
    run(entry);
    const std::int64_t id = db.last_insert_rowid();
    connect.bind_int64(1, id);
    connect.bind_text(2, m.smtp_connect.helo);
    connect.bind_text(3, m.smtp_connect.address);
    connect.bind_int64(4, *m.smtp_connect.port);
    connect.bind_text(5, m.smtp_connect.proto);
    run(connect);
    sender.bind_int64(1, id);
    sender.bind_text(2, m.smtp_sender.sender);
    run(sender);
    for (const auto& r : m.smtp_recipients) {
      recipient.bind_int64(1, id);
      recipient.bind_text(2, r.recipient);
      run(recipient);
    }
  }
  transaction.commit();
}

}  // namespace mq::bench
