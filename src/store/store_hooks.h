#pragma once

#include <exception>
#include <functional>
#include <string>

namespace mq::store {

// Lets tests hold back or fail either half of a put or an update with a new
// file (or a page or statistics read on its reading thread), and see each
// half finish. A store without hooks pays one null test per half. A health
// check passes its file half (the listing of the directory, once the records
// are read) through on_start too.
class store_hooks_t {
 public:
  enum class op_t { put, update, read, check };
  enum class half_t { file, db };

  virtual ~store_hooks_t() = default;

  // Called on the event loop in place of starting a half. Exactly one of
  // `start` (runs the real half) or `fail` (the half reports that failure
  // without running) must be called, at once or later, on the event loop.
  // Both take their arguments by value: a hook may keep them for later.
  virtual void on_start(op_t op, half_t half, const std::string& file_name, std::function<void()> start,
                        std::function<void(std::exception_ptr)> fail) = 0;

  // Called on the event loop when a half has finished, before the store
  // acts on the outcome.
  virtual void on_done(op_t op, half_t half, const std::string& file_name, std::exception_ptr error) = 0;
};

}  // namespace mq::store
