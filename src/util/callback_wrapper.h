#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace mq::util {

// Base of objects that hand out callbacks which may arrive after the object
// was destroyed or reset: every wrapped callback checks a shared flag first.
// Event-loop thread only.
class callback_wrapper_t {
 public:
  template <class F>
  class wrapper_t {
   public:
    wrapper_t(std::shared_ptr<bool> cancelled, F f) : cancelled_(std::move(cancelled)), f_(std::move(f)) {}

    template <class... A>
    void operator()(A&&... args) {
      if (!*cancelled_) f_(std::forward<A>(args)...);
    }

   private:
    std::shared_ptr<bool> cancelled_;
    F f_;
  };

  callback_wrapper_t() : cancelled_(std::make_shared<bool>(false)) {}
  callback_wrapper_t(const callback_wrapper_t&) = delete;
  callback_wrapper_t& operator=(const callback_wrapper_t&) = delete;
  ~callback_wrapper_t() { *cancelled_ = true; }

  template <class F>
  wrapper_t<std::decay_t<F>> wrap(F&& f) {
    renew();
    return wrapper_t<std::decay_t<F>>(cancelled_, std::forward<F>(f));
  }

  // Every callback wrapped so far becomes a no-op.
  void cancel() { *cancelled_ = true; }

  // The current flag, replaced by a fresh one first if it was raised.
  const std::shared_ptr<bool>& flag() {
    renew();
    return cancelled_;
  }

 private:
  void renew() {
    if (*cancelled_) cancelled_ = std::make_shared<bool>(false);
  }

  std::shared_ptr<bool> cancelled_;
};

}  // namespace mq::util
