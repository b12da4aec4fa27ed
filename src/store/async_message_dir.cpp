#include "store/async_message_dir.h"

#include <stdexcept>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "store/message_dir.h"

namespace mq::store {

namespace {

constexpr std::size_t max_name_bytes = 255;
const std::string session_prefix = "%%%%-%%%%_";
const std::string session_suffix = ".eml";

// A session id as a part of a file name: no path separators or NUL bytes,
// and short enough that the whole name fits the file system's limit.
std::string name_part(std::string id) {
  for (char& c : id) {
    if (c == '/' || c == '\0') c = '_';
  }
  const std::size_t room = max_name_bytes - session_prefix.size() - session_suffix.size();
  if (id.size() > room) {
    std::size_t cut = room;
    // Do not split a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(id[cut]) & 0xC0) == 0x80) --cut;
    id.resize(cut);
  }
  return id;
}

}  // namespace

std::string make_message_filename(const boost::optional<std::string>& session_id) {
  if (session_id && !session_id->empty())
    return boost::filesystem::unique_path(session_prefix + name_part(*session_id) + session_suffix).string();
  return boost::filesystem::unique_path("%%%%-%%%%_%%%%-%%%%-%%%%.eml").string();
}

namespace {

// A group of file writes ends at this many written files or bytes, so that
// the first of them does not wait too long for its sync.
constexpr std::size_t max_group_files = 64;
constexpr std::uint64_t max_group_bytes = 64ull << 20;

}  // namespace

// One put (with a source) or delete (without) waiting for the directory
// worker.
class async_message_dir_t::file_task_t : public mq::util::async_worker_t::task_t {
 public:
  file_task_t(async_message_dir_t& owner, std::string name, std::shared_ptr<shared_file_t> source,
              error_callback_t callback, boost::asio::io_context& io)
      : owner_(owner),
        name_(std::move(name)),
        source_(std::move(source)),
        callback_(std::move(callback)),
        io_(io),
        work_(boost::asio::make_work_guard(io)) {}

  void run() override { owner_.run_files(*this); }
  const std::string& name() const { return name_; }
  const shared_file_t* source() const { return source_.get(); }

  // The callback with its outcome, to run on the event loop; the task no
  // longer holds the loop once that has been posted.
  std::function<void()> outcome(std::exception_ptr error) {
    return [callback = std::move(callback_), error = std::move(error)] { callback(error); };
  }
  void release() { work_.reset(); }

 private:
  async_message_dir_t& owner_;
  std::string name_;
  std::shared_ptr<shared_file_t> source_;
  error_callback_t callback_;
  boost::asio::io_context& io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
};

void async_message_dir_t::run_files(file_task_t& first) {
  std::vector<file_task_t*> group{&first};
  std::vector<std::unique_ptr<mq::util::async_worker_t::task_t>> taken;
  auto size_of = [](const file_task_t& task) { return task.source() ? task.source()->size : 0; };
  std::uint64_t bytes = size_of(first);
  // Deletes cost no sync, so only writes count towards the bound.
  std::size_t writes = first.source() ? 1 : 0;
  // Only puts and deletes queued right behind: anything else ends the group.
  // An update's old file is deleted between the puts of other updates: it
  // must not split their group.
  auto take_next = [&] {
    if (writes >= max_group_files || bytes >= max_group_bytes) return false;
    auto next = worker_.take_next_if([](auto& task) { return dynamic_cast<file_task_t*>(&task) != nullptr; });
    if (!next) return false;
    group.push_back(static_cast<file_task_t*>(next.get()));
    bytes += size_of(*group.back());
    writes += group.back()->source() ? 1 : 0;
    taken.push_back(std::move(next));
    return true;
  };
  while (take_next()) {
  }
  std::vector<std::exception_ptr> errors(group.size());
  if (!dir_) {
    for (auto& error : errors) error = std::make_exception_ptr(std::logic_error("Message directory: not initialized"));
  } else {
    message_dir_t::file_list_t files;
    for (auto* task : group) files.emplace_back(task->name(), task->source());
    // Puts keep arriving while the group is written (a Sorter sends its next
    // ones as the answers of the last group reach it): they join this sync.
    errors = dir_->write_group(std::move(files), [&](message_dir_t::file_list_t& more) {
      while (take_next()) more.emplace_back(group.back()->name(), group.back()->source());
    });
  }
  // One turn of the event loop answers the whole group: the records of its
  // puts then reach the database worker together, as one group of writes.
  std::vector<std::function<void()>> outcomes;
  for (std::size_t i = 0; i < group.size(); ++i) outcomes.push_back(group[i]->outcome(std::move(errors[i])));
  boost::asio::post(worker_.loop(), [outcomes = std::move(outcomes)] {
    for (const auto& outcome : outcomes) outcome();
  });
  for (auto* task : group) task->release();
}

async_message_dir_t::async_message_dir_t(boost::asio::io_context& io) : worker_(io) { worker_.set_name("mq-files"); }

async_message_dir_t::~async_message_dir_t() { cancel(); }

std::future<void> async_message_dir_t::init(const boost::filesystem::path& dir, std::uint32_t uid, std::uint32_t gid) {
  auto done = std::make_shared<std::promise<void>>();
  auto result = done->get_future();
  worker_.post([this, done, dir, uid, gid] {
    auto error = mq::util::thrown_by([&] {
      auto fresh = std::make_unique<message_dir_t>(dir);
      fresh->init(uid, gid);
      dir_ = std::move(fresh);
    });
    if (error) {
      done->set_exception(std::move(error));
    } else {
      done->set_value();
    }
  });
  return result;
}

std::future<void> async_message_dir_t::reload(std::uint32_t uid, std::uint32_t gid) {
  auto done = std::make_shared<std::promise<void>>();
  auto result = done->get_future();
  worker_.post([this, done, uid, gid] {
    auto error = mq::util::thrown_by([&] {
      if (!dir_) throw std::logic_error("Message directory: not initialized");
      dir_->rescan(uid, gid);
    });
    if (error) {
      done->set_exception(std::move(error));
    } else {
      done->set_value();
    }
  });
  return result;
}

std::future<void> async_message_dir_t::stop() {
  auto done = std::make_shared<std::promise<void>>();
  auto result = done->get_future();
  worker_.post([done] { done->set_value(); });
  return result;
}

void async_message_dir_t::put_file(const std::string& name, std::shared_ptr<shared_file_t> source,
                                   error_callback_t callback) {
  worker_.post(
      std::make_unique<file_task_t>(*this, name, std::move(source), wrap(std::move(callback)), worker_.loop()));
}

void async_message_dir_t::delete_file(const std::string& name, error_callback_t callback) {
  worker_.post(std::make_unique<file_task_t>(*this, name, nullptr, wrap(std::move(callback)), worker_.loop()));
}

class async_message_dir_t::listing_t : public message_dir_t::listing_t {};

std::shared_ptr<async_message_dir_t::listing_t> async_message_dir_t::make_listing() {
  return std::make_shared<listing_t>();
}

void async_message_dir_t::list(std::shared_ptr<listing_t> listing, std::size_t limit,
                               std::function<void(mq::util::result_t<std::vector<dir_entry_t>>)> callback) {
  worker_.post_result(
      [this, listing = std::move(listing), limit] {
        if (!dir_) throw std::logic_error("Message directory: not initialized");
        return dir_->list(*listing, limit);
      },
      wrap(std::move(callback)));
}

void async_message_dir_t::settle_orphan_files(std::vector<std::string> names, bool fix,
                                              std::function<void(mq::util::result_t<health_stat_t>)> callback) {
  worker_.post_result(
      [this, names = std::move(names), fix] {
        if (!dir_) throw std::logic_error("Message directory: not initialized");
        health_stat_t stat;
        dir_->settle_orphan_files(names, fix, stat);
        return stat;
      },
      wrap(std::move(callback)));
}

}  // namespace mq::store
