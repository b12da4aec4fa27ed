#include "bare.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include <boost/filesystem.hpp>

#include "payload.h"
#include "store/metadata_reader.h"
#include "store/metadata_writer.h"
#include "store/sqlite.h"

namespace mq::bench {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string new_file_name(const boost::optional<std::string>& session_id) {
  std::string model =
      session_id && !session_id->empty() ? "%%%%-%%%%_" + *session_id + ".eml" : "%%%%-%%%%_%%%%-%%%%-%%%%.eml";
  return boost::filesystem::unique_path(model).string();
}

void make_dir(const std::string& path) {
  boost::filesystem::create_directories(path);
  boost::filesystem::permissions(path, boost::filesystem::perms(0770));
}

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

bare_store_t::bare_store_t(const std::string& dir, bool sync) : dir_(dir), queue_dir_(dir + "/queue"), sync_(sync) {
  make_dir(dir_);
  make_dir(queue_dir_);
  int fd = ::open(queue_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw_errno("open " + queue_dir_);
  queue_dir_fd_ = mq::util::unique_fd_t(fd);
  writer_ = std::make_unique<mq::store::metadata_writer_t>(dir_ + "/queue.db", false);
  reader_ = std::make_unique<mq::store::metadata_reader_t>(dir_ + "/queue.db", false);
}

bare_store_t::~bare_store_t() = default;

void bare_store_t::write_file(const std::string& name, int source_fd, std::uint64_t size) {
  // The same steps as the daemon's message directory: check the source,
  // map it, write it in chunks of at most 65535 bytes, sync file and
  // directory.
  struct stat st;
  if (::fstat(source_fd, &st) != 0) throw_errno("fstat");
  if (static_cast<std::uint64_t>(st.st_size) < size) throw std::runtime_error("bare put: source too short");
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, source_fd, 0);
  if (map == MAP_FAILED) throw_errno("mmap");
  int fd;
  while ((fd = ::openat(queue_dir_fd_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660)) < 0 &&
         errno == EINTR) {
  }
  if (fd < 0) {
    ::munmap(map, size);
    throw_errno("open " + name);
  }
  const char* data = static_cast<const char*>(map);
  std::uint64_t done = 0;
  while (done < size) {
    size_t chunk = static_cast<size_t>(std::min<std::uint64_t>(size - done, 65535));
    ssize_t n = ::write(fd, data + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      ::munmap(map, size);
      throw std::system_error(e, std::generic_category(), "write " + name);
    }
    done += static_cast<std::uint64_t>(n);
  }
  if (sync_ && ::fdatasync(fd) != 0) throw_errno("fdatasync " + name);
  ::close(fd);
  ::munmap(map, size);
  if (sync_ && ::fsync(queue_dir_fd_.get()) != 0) throw_errno("fsync " + queue_dir_);
}

void bare_store_t::delete_file(const std::string& name) {
  struct stat st;
  if (::fstatat(queue_dir_fd_.get(), name.c_str(), &st, 0) != 0) throw_errno("stat " + name);
  if (::unlinkat(queue_dir_fd_.get(), name.c_str(), 0) != 0) throw_errno("unlink " + name);
}

std::uint64_t bare_store_t::put(mq::store::entry_metadata_t metadata, int source_fd, std::uint64_t size) {
  metadata.message_filename = new_file_name(metadata.session_id);
  write_file(metadata.message_filename, source_fd, size);
  return writer_->put_entry(metadata);
}

mq::store::entry_metadata_t bare_store_t::get(std::int64_t id, std::string& content) {
  auto metadata = reader_->get_entry(id);
  int fd;
  while ((fd = ::openat(queue_dir_fd_.get(), metadata.message_filename.c_str(), O_RDONLY | O_CLOEXEC)) < 0 &&
         errno == EINTR) {
  }
  if (fd < 0) throw_errno("open " + metadata.message_filename);
  mq::util::unique_fd_t file(fd);
  read_whole(file.get(), content);
  return metadata;
}

void bare_store_t::update_file(std::int64_t id, mq::store::entry_metadata_update_t update, int source_fd,
                               std::uint64_t size) {
  std::string name = new_file_name(boost::none);
  write_file(name, source_fd, size);
  update.message_filename = name;
  update.message_size = size;
  std::string previous = writer_->update_entry(id, update);
  if (!previous.empty()) delete_file(previous);
}

void bare_store_t::remove(std::int64_t id) {
  auto name = writer_->remove_entry(id);
  if (!name) throw std::runtime_error("bare remove: no entry " + std::to_string(id));
  delete_file(*name);
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
  std::string queue_dir = spool_dir + "/queue";
  make_dir(spool_dir);
  make_dir(queue_dir);
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
    m.message_filename = new_file_name(m.session_id);
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
