#include "limit.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <stdexcept>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "payload.h"
#include "store/async_message_dir.h"
#include "store/message_dir.h"
#include "store/metadata_reader.h"
#include "store/metadata_writer.h"

namespace mq::bench {

namespace {

void rethrow_first(const std::vector<std::exception_ptr>& errors) {
  for (const auto& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace

limit_store_t::limit_store_t(const std::string& dir) : dir_(dir) {
  boost::filesystem::create_directories(dir_);
  files_ = std::make_unique<mq::store::message_dir_t>(dir_ + "/queue");
  files_->init(::getuid(), ::getgid());
  db_ = std::make_unique<mq::store::metadata_writer_t>(dir_ + "/queue.db", false);
}

limit_store_t::~limit_store_t() = default;

void limit_store_t::write_files(const std::vector<std::pair<std::string, const mq::store::shared_file_t*>>& sources) {
  std::vector<std::pair<std::string, const mq::store::shared_file_t*>> files;
  for (auto& name : deletes_) files.emplace_back(std::move(name), nullptr);
  deletes_.clear();
  files.insert(files.end(), sources.begin(), sources.end());
  if (!files.empty()) rethrow_first(files_->write_group(files));
}

std::vector<std::int64_t> limit_store_t::put_group(std::vector<mq::store::entry_metadata_t> metadata,
                                                   const mq::store::shared_file_t& source) {
  std::vector<std::pair<std::string, const mq::store::shared_file_t*>> sources;
  for (auto& m : metadata) {
    m.message_filename = mq::store::make_message_filename(m.session_id);
    sources.emplace_back(m.message_filename, &source);
  }
  write_files(sources);
  std::vector<std::int64_t> ids(metadata.size());
  std::vector<std::function<void()>> ops;
  for (std::size_t i = 0; i < metadata.size(); ++i)
    ops.push_back([&, i] { ids[i] = static_cast<std::int64_t>(db_->put_entry(metadata[i])); });
  rethrow_first(db_->run_group(ops));
  return ids;
}

void limit_store_t::update_group(const std::vector<std::int64_t>& ids, const mq::store::shared_file_t& source) {
  std::vector<std::pair<std::string, const mq::store::shared_file_t*>> sources;
  for (std::size_t i = 0; i < ids.size(); ++i)
    sources.emplace_back(mq::store::make_message_filename(boost::none), &source);
  write_files(sources);
  std::vector<std::function<void()>> ops;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ops.push_back([&, i] {
      mq::store::entry_metadata_update_t u;
      u.attempts = 1;
      u.next_access_ts = 1800000000 + static_cast<std::uint64_t>(ids[i]);
      u.message_filename = sources[i].first;
      u.message_size = source.size;
      auto previous = db_->update_existing_entry(ids[i], u);
      if (!previous) throw std::runtime_error("limit update: no entry " + std::to_string(ids[i]));
      if (!previous->empty()) deletes_.push_back(*previous);
    });
  }
  rethrow_first(db_->run_group(ops));
}

void limit_store_t::remove_group(const std::vector<std::int64_t>& ids) {
  std::vector<std::function<void()>> ops;
  ops.reserve(ids.size());
  for (auto id : ids) {
    ops.push_back([this, id] {
      auto name = db_->remove_entry(id);
      if (!name) throw std::runtime_error("limit remove: no entry " + std::to_string(id));
      deletes_.push_back(*name);
    });
  }
  rethrow_first(db_->run_group(ops));
}

void limit_store_t::finish() { write_files({}); }

batch_stats_t limit_store_t::get_all(const std::vector<std::int64_t>& ids, std::size_t count,
                                     const std::string& expect) {
  batch_stats_t stats;
  std::vector<std::vector<double>> latencies(reader_threads);
  std::vector<std::exception_ptr> errors(reader_threads);
  std::atomic<std::size_t> next{0};
  const std::string db_path = boost::filesystem::canonical(dir_ + "/queue.db").string();
  auto reader = [&](std::size_t t) {
    try {
      mq::store::metadata_reader_t db(db_path, false);
      mq::store::message_dir_t dir(dir_ + "/queue");
      dir.open_for_reading();
      std::string content;
      for (std::size_t i; (i = next.fetch_add(1)) < count;) {
        const double start = now_seconds();
        auto m = db.get_entry(ids[i % ids.size()]);
        mq::store::shared_file_t file = dir.get(m.message_filename);
        read_whole(file.fd, content);
        latencies[t].push_back(now_seconds() - start);
        if (content != expect) throw std::runtime_error("limit get: wrong file content");
      }
    } catch (...) {
      errors[t] = std::current_exception();
    }
  };
  const double start = now_seconds();
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < reader_threads; ++t) threads.emplace_back(reader, t);
  for (auto& t : threads) t.join();
  stats.seconds = now_seconds() - start;
  rethrow_first(errors);
  for (auto& l : latencies) stats.latencies.insert(stats.latencies.end(), l.begin(), l.end());
  return stats;
}

}  // namespace mq::bench
