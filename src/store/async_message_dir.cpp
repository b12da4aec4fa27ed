#include "store/async_message_dir.h"

#include <stdexcept>
#include <vector>

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
// worker. Deletes cost no sync, so only writes count towards the bound.
class async_message_dir_t::file_task_t : public group_worker_t<file_task_t>::task_t {
 public:
  file_task_t(group_worker_t<file_task_t>& worker, std::string name, std::shared_ptr<shared_file_t> source,
              error_callback_t callback)
      : group_worker_t<file_task_t>::task_t(worker, source ? source->size : 0, source != nullptr),
        name_(std::move(name)),
        source_(std::move(source)),
        callback_(std::move(callback)) {}

  const std::string& name() const { return name_; }
  const shared_file_t* source() const { return source_.get(); }

  std::function<void()> outcome(std::exception_ptr error) override {
    return [callback = std::move(callback_), error = std::move(error)] { callback(error); };
  }

 private:
  std::string name_;
  std::shared_ptr<shared_file_t> source_;
  error_callback_t callback_;
};

// Only puts and deletes queued right behind go into a group. An update's old
// file is deleted between the puts of other updates: it must not split their
// group.
void async_message_dir_t::run_files(group_worker_t<file_task_t>::group_t& group) {
  std::vector<std::exception_ptr> errors(group.size());
  if (!dir_) {
    for (auto& error : errors) error = std::make_exception_ptr(std::logic_error("Message directory: not initialized"));
  } else {
    message_dir_t::file_list_t files;
    for (std::size_t i = 0; i < group.size(); ++i) files.emplace_back(group[i].name(), group[i].source());
    // Puts keep arriving while the group is written (a Sorter sends its next
    // ones as the answers of the last group reach it): they join this sync.
    errors = dir_->write_group(std::move(files), [&](message_dir_t::file_list_t& more) {
      while (group.take_next()) more.emplace_back(group.back().name(), group.back().source());
    });
  }
  // One turn of the event loop answers the whole group: the records of its
  // puts then reach the database worker together, as one group of writes.
  group.answer(std::move(errors));
}

async_message_dir_t::async_message_dir_t(boost::asio::io_context& io)
    : worker_(io, "mq-files", {max_group_files, max_group_bytes},
              [this](group_worker_t<file_task_t>::group_t& group) { run_files(group); }) {}

async_message_dir_t::~async_message_dir_t() { cancel(); }

std::future<void> async_message_dir_t::init(const boost::filesystem::path& dir, std::uint32_t uid, std::uint32_t gid) {
  auto done = std::make_shared<std::promise<void>>();
  auto result = done->get_future();
  worker_.worker().post([this, done, dir, uid, gid] {
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
  worker_.worker().post([this, done, uid, gid] {
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
  worker_.worker().post([done] { done->set_value(); });
  return result;
}

void async_message_dir_t::put_file(const std::string& name, std::shared_ptr<shared_file_t> source,
                                   error_callback_t callback) {
  worker_.worker().post(std::make_unique<file_task_t>(worker_, name, std::move(source), wrap(std::move(callback))));
}

void async_message_dir_t::delete_file(const std::string& name, error_callback_t callback) {
  worker_.worker().post(std::make_unique<file_task_t>(worker_, name, nullptr, wrap(std::move(callback))));
}

class async_message_dir_t::listing_t : public message_dir_t::listing_t {};

std::shared_ptr<async_message_dir_t::listing_t> async_message_dir_t::make_listing() {
  return std::make_shared<listing_t>();
}

void async_message_dir_t::list(std::shared_ptr<listing_t> listing, std::size_t limit,
                               std::function<void(mq::util::result_t<std::vector<dir_entry_t>>)> callback) {
  worker_.worker().post_result(
      [this, listing = std::move(listing), limit] {
        if (!dir_) throw std::logic_error("Message directory: not initialized");
        return dir_->list(*listing, limit);
      },
      wrap(std::move(callback)));
}

void async_message_dir_t::settle_orphan_files(std::vector<std::string> names, bool fix,
                                              std::function<void(mq::util::result_t<health_stat_t>)> callback) {
  worker_.worker().post_result(
      [this, names = std::move(names), fix] {
        if (!dir_) throw std::logic_error("Message directory: not initialized");
        health_stat_t stat;
        dir_->settle_orphan_files(names, fix, stat);
        return stat;
      },
      wrap(std::move(callback)));
}

}  // namespace mq::store
