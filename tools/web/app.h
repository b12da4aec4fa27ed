#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "http/server.h"
#include "web/data.h"
#include "web/form.h"
#include "web/hosts.h"
#include "web/login_guard.h"
#include "web/pages.h"
#include "web/sessions.h"
#include "web/user_slots.h"
#include "web/users.h"

namespace mq::web {

struct options_t {
  std::string listen = "127.0.0.1:9468";
  std::string users_file = "/etc/orvane-mail-quarantine/web-users";
  std::string sorter_socket, client_socket;
  std::chrono::seconds session_lifetime{8 * 3600};
  bool secure_cookie = false;  // behind a proxy that speaks HTTPS
  int timeout_ms = 30000;      // for each answer of the daemon
  std::chrono::milliseconds login_delay{1000};
  login_guard_t::settings_t login_guard;
  // Passwords being hashed or waiting for it; more are refused at once.
  std::size_t max_pending_logins = 4;
  // Host names (with ":PORT" or without) the view answers to besides
  // 127.0.0.1, localhost and [::1] on its port: a proxy's name.
  std::vector<std::string> allowed_hosts;
  // The least time between two counts of the queue's shape.
  std::chrono::seconds shape_interval{60};
  // A page's selection (the list, a confirmation's count) stops past this,
  // well within the exchange's deadline, or once its browser has left.
  std::chrono::milliseconds selection_budget{20000};
  // An action's selection stops past this, acting on nothing: it runs on
  // the one action worker, before everyone's later actions. Longer than a
  // page's, so a selection its confirmation counted is not cut short.
  std::chrono::milliseconds action_budget{60000};
  // Selections and actions of one user at once (running or waiting), and
  // of everyone: each selection runs on a thread of its own, so none waits
  // behind another.
  std::size_t selections_per_user = 2;
  std::size_t selections = 16;
};

// The web view: routes each request, checks the session and the form
// token, and runs what needs the daemon on workers so the loop never waits.
class app_t {
 public:
  app_t(boost::asio::io_context& io, options_t options);
  ~app_t();

  http::server_t::endpoint_t endpoint() const { return server_.endpoint(); }

  struct job_t;

 private:
  using respond_t = http::server_t::respond_t;
  void handle(http::request_t request, const http::server_t::endpoint_t& peer, respond_t respond);
  http::response_t login_page(boost::beast::http::status status, unsigned version, const std::string& message,
                              std::string pre_cookie) const;
  void login(const form_t& form, const std::string& pre_cookie, const std::string& peer, unsigned version,
             respond_t respond);
  void get_page(const std::string& path, const form_t& query, const session_t& session, unsigned version,
                respond_t respond);
  void post_action(const std::string& path, const form_t& form, const std::string& token, const session_t& session,
                   const std::string& peer, unsigned version, const respond_t& respond);
  std::string overview_page(const session_t& session);
  void run_job(std::shared_ptr<job_t> job, std::shared_ptr<void> place);
  http::response_t busy(unsigned version, const pages::viewer_t& viewer);

  boost::asio::io_context& io_;
  options_t options_;
  data_t data_;
  users_t users_;
  sessions_t sessions_;
  user_slots_t selections_;
  login_guard_t guard_;
  std::size_t logins_pending_ = 0;
  boost::asio::thread_pool pages_{4};       // the pages that walk nothing: overview, entry, message
  boost::asio::thread_pool selecting_;      // a thread for each place of `selections_`
  boost::asio::thread_pool logins_{1};      // one password hash at a time, never on a page's worker
  boost::asio::thread_pool actions_{1};     // one action at a time, as from one mqctl
  boost::asio::thread_pool background_{1};  // the shape's count

  std::mutex mutex_;  // the jobs and the shape
  std::map<std::string, std::shared_ptr<job_t>> jobs_;
  std::shared_ptr<const data_t::shape_t> shape_;
  std::chrono::steady_clock::time_point shape_at_;
  std::string shape_error_;
  bool shape_counting_ = false;

  http::server_t server_;
  hosts_t hosts_;
};

// A line for the log, with its syslog priority when it goes to the journal.
void log_line(int priority, const std::string& text);

}  // namespace mq::web
