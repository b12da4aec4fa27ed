#include "web/app.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <iostream>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "mqctl/args.h"
#include "mqctl/output.h"
#include "mqctl/text.h"
#include "mqctl/time_text.h"
#include "web/escape.h"
#include "web/pages.h"

namespace mq::web {

namespace bh = boost::beast::http;

struct app_t::job_t {
  std::string id, user, what, past;
  data_t::action_t action = data_t::action_t::retry;
  std::string to;
  std::vector<std::uint64_t> ids;
  std::optional<data_t::selection_t> selection;

  std::mutex mutex;
  std::string state = "waiting";
  bool selected = false;  // the selection, if any, was walked to its end
  std::uint64_t total = 0, handled = 0;
  data_t::outcome_t outcome;
  std::string error;
  bool finished = false;
};

namespace {

constexpr const char* cookie_name = "mq_session";
// Before the login: what the login form's token is bound to.
constexpr const char* login_cookie_name = "mq_login";
constexpr std::size_t page_size = 50;
// Entries per call of mqctl's bulk action: the progress moves between them.
constexpr std::size_t chunk_size = 200;

http::limits_t web_limits() {
  http::limits_t limits;
  limits.max_header = std::size_t{16} * 1024;
  limits.max_body = std::size_t{1} << 20;
  limits.deadline = std::chrono::seconds(120);
  // A selection for a browser that left stops at its next page.
  limits.watch_peer = true;
  // On every answer, the HTTP layer's own refusals included: no script
  // anywhere, nothing from elsewhere, no framing.
  limits.headers = {
      {"Content-Security-Policy",
       "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
       "base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
  return limits;
}

http::response_t make(bh::status status, unsigned version, std::string body,
                      const char* type = "text/html; charset=utf-8") {
  http::response_t r{status, version};
  r.set(bh::field::content_type, type);
  r.body() = std::move(body);
  return r;
}

http::response_t redirect(const std::string& to, unsigned version) {
  auto r = make(bh::status::see_other, version, "");
  r.set(bh::field::location, to);
  return r;
}

http::response_t refused(bh::status status, unsigned version, const std::string& text,
                         const pages::viewer_t* viewer = nullptr) {
  return make(status, version, pages::frame("Refused", viewer, pages::message(text)));
}

// "D of N entries" `then` "G already gone, C changed meanwhile, F failed".
std::string outcome_text(const data_t::outcome_t& o, std::uint64_t total, const char* then) {
  return mqctl::outcome_text(o.done, total, o.gone, o.changed, o.failed, then);
}

// The selection of a query as mqctl's words, and how it reads.
data_t::selection_t selection_words(const form_t& query, std::string& described) {
  data_t::selection_t words;
  const std::string status = query.get("status").empty() ? "smtp-fresh" : query.get("status");
  if (status == "all")
    words.push_back("--all");
  else
    words.push_back(mqctl::status_name(mqctl::parse_status(status)));
  described = status == "all" ? "all statuses" : status;
  for (const auto& name : pages::selection_fields()) {
    if (name == "status") continue;
    if (const std::string v = query.get(name); !v.empty()) {
      // One word each: a value is never read as an option of its own.
      words.push_back(std::string("--").append(name).append("=").append(v));
      described.append(", ").append(name).append(" ").append(v);
    }
  }
  return words;
}

struct action_words_t {
  data_t::action_t action;
  const char* name;
  const char* past;
};

std::optional<action_words_t> action_of(const std::string& word) {
  const std::string name = word.substr(0, word.find(':'));
  if (name == "retry") return action_words_t{data_t::action_t::retry, "Retry now", "Retried"};
  if (name == "remove") return action_words_t{data_t::action_t::remove, "Remove", "Removed"};
  if (name == "move") return action_words_t{data_t::action_t::move, "Move", "Moved"};
  return std::nullopt;
}

std::vector<std::uint64_t> ids_of(const form_t& form) {
  std::vector<std::uint64_t> ids;
  for (const auto& word : form.all("id")) {
    const auto id = mqctl::parse_id(word);
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  return ids;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  return stream && *stream;
}

}  // namespace

void log_line(int priority, const std::string& text) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (journal()) std::cerr << '<' << priority << '>';
  std::cerr << "mq-web: " << text << std::endl;
}

app_t::app_t(boost::asio::io_context& io, options_t options)
    : io_(io),
      options_(std::move(options)),
      data_(options_.sorter_socket, options_.client_socket, options_.timeout_ms),
      users_(options_.users_file),
      sessions_(options_.session_lifetime),
      selections_(options_.selections_per_user, options_.selections),
      guard_(options_.login_guard),
      selecting_(options_.selections),
      server_(
          io, options_.listen,
          [this](http::request_t r, const http::server_t::endpoint_t& peer, respond_t respond) {
            handle(std::move(r), peer, std::move(respond));
          },
          web_limits()),
      hosts_(server_.endpoint().port(), http::server_t::url(server_.endpoint()).substr(7), options_.allowed_hosts) {}

app_t::~app_t() {
  pages_.join();
  selecting_.join();
  logins_.join();
  actions_.join();
  background_.join();
}

void app_t::handle(http::request_t request, const http::server_t::endpoint_t& peer_at, respond_t respond) {
  const unsigned version = request.version();
  const std::string target(request.target());
  const auto q = target.find('?');
  const std::string path = target.substr(0, q);
  const form_t query(q == std::string::npos ? "" : target.substr(q + 1));
  const bool get = request.method() == bh::verb::get, post = request.method() == bh::verb::post;
  const std::string peer = peer_at.address().to_string();
  // Only names this view answers to: a name of someone else's that points
  // here (DNS rebinding) reaches nothing.
  if (!hosts_.allows(request[bh::field::host])) {
    log_line(4, "refused a request for host '" + logged(std::string(request[bh::field::host])) + "' from " + peer);
    return respond(refused(bh::status::misdirected_request, version, "This server does not answer to that host name."));
  }
  if (!get && !post) {
    auto r = refused(bh::status::method_not_allowed, version, "Only GET and POST are served.");
    r.set(bh::field::allow, "GET, POST");
    return respond(std::move(r));
  }
  if (post && !hosts_.allows_post(request[bh::field::origin], request.find(bh::field::origin) != request.end(),
                                  request["Sec-Fetch-Site"])) {
    log_line(4, "refused a POST to " + logged(path) + " from origin '" +
                    logged(std::string(request[bh::field::origin])) + "', from " + peer);
    return respond(refused(bh::status::forbidden, version, "A form of another site cannot be sent here."));
  }
  if (get && path == "/static/style.css") return respond(make(bh::status::ok, version, pages::style_sheet, "text/css"));
  const bool form_body = post && request[bh::field::content_type].substr(0, 33) == "application/x-www-form-urlencoded";
  const form_t form(form_body ? request.body() : std::string());
  const std::string cookies(request[bh::field::cookie]);
  if (path == "/login") {
    const auto pre = cookie_value(cookies, login_cookie_name).value_or("");
    if (post) return login(form, pre, peer, version, std::move(respond));
    return respond(login_page(bh::status::ok, version, "", pre));
  }

  const auto cookie = cookie_value(cookies, cookie_name);
  const session_t* session = cookie ? sessions_.find(*cookie) : nullptr;
  if (session && users_.current(session->user) != session->stamp) {
    // A new password or a removal ends every session of the old one.
    log_line(5,
             "ended a session of user '" + logged(session->user) + "': the password was changed or the user removed");
    sessions_.close(*cookie);
    session = nullptr;
  }
  if (!session) {
    if (get) return respond(redirect("/login", version));
    return respond(refused(bh::status::forbidden, version, "Log in first."));
  }
  if (get) return get_page(path, query, *session, version, std::move(respond));
  // Every POST carries the session's token in its form: a page of another
  // site cannot know it.
  if (!form_body || !sessions_t::token_matches(*session, form.get("csrf"))) {
    log_line(4, "refused a POST to " + logged(path) + " without the form token of " + logged(session->user) +
                    "'s session, from " + peer);
    return respond(refused(bh::status::forbidden, version, "The form token is missing or wrong; nothing was changed."));
  }
  post_action(path, form, *cookie, *session, peer, version, respond);
}

http::response_t app_t::login_page(bh::status status, unsigned version, const std::string& message,
                                   std::string pre_cookie) const {
  // The form's token goes with this cookie: a new one when there is none.
  const bool fresh = pre_cookie.size() != 64 || pre_cookie.find_first_not_of("0123456789abcdef") != std::string::npos;
  if (fresh) pre_cookie = sessions_t::random_token();
  auto r = make(status, version, pages::login(message, sessions_.login_token(pre_cookie)));
  if (fresh)
    r.set(bh::field::set_cookie, std::string(login_cookie_name) + "=" + pre_cookie +
                                     "; Path=/login; HttpOnly; SameSite=Strict" +
                                     (options_.secure_cookie ? "; Secure" : ""));
  return r;
}

void app_t::login(const form_t& form, const std::string& pre_cookie, const std::string& peer, unsigned version,
                  respond_t respond) {
  const std::string user = form.get("user"), password = form.get("password");
  // No name is longer (set-user refuses them); the guard keeps the names
  // it sees, so these are not kept, nor hashed.
  if (user.size() > 64) {
    log_line(4, "failed login for a user name of " + std::to_string(user.size()) + " bytes from " + peer);
    return respond(login_page(bh::status::unauthorized, version, "Wrong user name or password.", pre_cookie));
  }
  // A login form of another page would log the browser in as whoever
  // that page likes.
  if (!sessions_.login_token_matches(pre_cookie, form.get("login_token"))) {
    log_line(4, "refused a login for user '" + logged(user) + "' without the login form's token, from " + peer);
    return respond(login_page(bh::status::forbidden, version,
                              "The login form was stale or another site's; nobody was logged in. Log in again.",
                              pre_cookie));
  }
  const auto too_many = [&](std::chrono::seconds wait, const std::string& text) {
    auto r = login_page(bh::status::too_many_requests, version, text, pre_cookie);
    r.set(bh::field::retry_after, std::to_string(wait.count()));
    respond(std::move(r));
  };
  if (const auto wait = guard_.wait(user, std::chrono::steady_clock::now()); wait.count() > 0)
    return too_many(wait, "Too many failed logins; try again in " + std::to_string(wait.count()) + " s.");
  if (logins_pending_ >= options_.max_pending_logins)
    return too_many(std::chrono::seconds(1), "Too many logins at once; try again in a moment.");
  ++logins_pending_;
  boost::asio::post(logins_, [this, user, password, peer, version, pre_cookie, respond = std::move(respond)]() mutable {
    bool ok = false;
    std::string stamp;
    try {
      ok = !user.empty() && users_.check(user, password, &stamp);
    } catch (const std::exception& e) {
      log_line(3, "cannot check a login: " + std::string(e.what()));
    }
    boost::asio::post(io_, [this, ok, user, stamp, peer, version, pre_cookie, respond = std::move(respond)] {
      --logins_pending_;
      if (ok) {
        guard_.succeeded(user);
        const std::string token = sessions_.open(user, stamp);
        log_line(6, "user '" + logged(user) + "' logged in from " + peer);
        auto r = redirect("/", version);
        r.set(bh::field::set_cookie,
              std::string(cookie_name) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                  std::to_string(options_.session_lifetime.count()) + (options_.secure_cookie ? "; Secure" : ""));
        return respond(std::move(r));
      }
      log_line(4, "failed login for user '" + logged(user) + "' from " + peer);
      if (guard_.failed(user, std::chrono::steady_clock::now()))
        log_line(4, "user '" + logged(user) + "' locked out for " +
                        std::to_string(options_.login_guard.lockout.count()) + " s after " +
                        std::to_string(options_.login_guard.per_user) + " failed logins in a row");
      // A guesser waits for every answer; the failure budget bounds how
      // many exchanges wait at once.
      auto timer = std::make_shared<boost::asio::steady_timer>(io_, options_.login_delay);
      auto r = login_page(bh::status::unauthorized, version, "Wrong user name or password.", pre_cookie);
      timer->async_wait([timer, respond, r = std::move(r)](const boost::system::error_code&) { respond(r); });
    });
  });
}

std::string app_t::overview_page(const session_t&) {
  const auto figures = data_.overview();
  std::shared_ptr<const data_t::shape_t> shape;
  std::string note;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shape = shape_;
    const auto now = std::chrono::steady_clock::now();
    if (!shape_counting_ && (!shape_ || now - shape_at_ >= options_.shape_interval)) {
      shape_counting_ = true;
      boost::asio::post(background_, [this] {
        std::shared_ptr<const data_t::shape_t> s;
        std::string error;
        try {
          s = std::make_shared<const data_t::shape_t>(data_.shape());
        } catch (const std::exception& e) {
          error = e.what();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        shape_counting_ = false;
        shape_error_ = error;
        if (s) {
          shape_ = s;
          shape_at_ = std::chrono::steady_clock::now();
        }
      });
    }
    if (shape) {
      const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - shape_at_).count();
      char text[160];
      std::snprintf(text, sizeof text, "Counted %llds ago in %.1f s (as mqctl shape --all --by-age)%s.",
                    static_cast<long long>(age), shape->seconds, shape_counting_ ? "; a new count is running" : "");
      note = text;
    } else {
      note = shape_error_.empty() ? "The shape is being counted; reload in a moment." : "Cannot count: " + shape_error_;
    }
  }
  return pages::overview(figures, shape.get(), note);
}

void app_t::get_page(const std::string& path, const form_t& query, const session_t& session, unsigned version,
                     respond_t respond) {
  const pages::viewer_t viewer{session.user, session.csrf};
  if (path == "/job") {
    std::shared_ptr<job_t> job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = jobs_.find(query.get("id"));
      if (it != jobs_.end() && it->second->user == session.user) job = it->second;
    }
    if (!job) return respond(refused(bh::status::not_found, version, "No such action.", &viewer));
    std::lock_guard<std::mutex> lock(job->mutex);
    std::string body = "<p>" + html(job->what) + "</p>\n<p id=\"state\">";
    const auto& o = job->outcome;
    if (job->finished) {
      body += html(job->selection && !job->selected ? "Nothing was " + lower(job->past) + "."
                                                    : job->past + " " + outcome_text(o, job->total, ": ")) +
              "</p>\n";
      if (!job->error.empty()) body += "<p class=\"error\">" + html(job->error) + "</p>\n";
      for (const auto& r : o.reasons) body += "<p class=\"error\">failed: " + html(r) + "</p>\n";
      body += "<p><a href=\"/list\">Back to the entries</a></p>";
    } else if (job->state == "selecting") {
      body += html("selecting: looked at " + mqctl::entries(job->handled)) + "</p>\n";
    } else {
      body += html(job->state + ": " + std::to_string(job->handled) + " of " + mqctl::entries(job->total)) + "</p>\n";
    }
    return respond(make(bh::status::ok, version,
                        pages::frame("Action", &viewer, body, job->finished ? std::nullopt : std::optional<int>(1))));
  }
  const bool known =
      path == "/" || path == "/list" || path == "/entry" || path == "/entry/message" || path == "/confirm";
  if (!known) return respond(refused(bh::status::not_found, version, "No such page.", &viewer));
  // A selection walks a queue: it holds one of the user's places from here
  // to its answer.
  std::shared_ptr<void> place;
  if (path == "/list" || path == "/confirm") {
    place = selections_.take(session.user);
    if (!place) return respond(busy(version, viewer));
  }
  // Chosen before `place` moves into the task.
  auto& pool = place ? selecting_ : pages_;
  boost::asio::post(pool, [this, path, query, viewer, version, answer = std::move(respond), session,
                           place = std::move(place)]() mutable {
    // The place is free again before the answer leaves: the user's next
    // page may take it at once.
    const auto respond = [&](http::response_t r) {
      place.reset();
      answer(std::move(r));
    };
    const data_t::bounds_t bounds{options_.selection_budget, [&answer] { return answer.gone(); }};
    // Once the place is free: one line when a browser left its selection.
    const auto left = [&](const std::exception& e) {
      if (const auto* s = dynamic_cast<const data_t::stopped_t*>(&e); s && s->gone)
        log_line(6, "user '" + logged(viewer.user) + "': the selection of " + path + " stopped after " +
                        mqctl::entries(s->seen) + ": its browser left");
    };
    try {
      if (path == "/") {
        return respond(make(bh::status::ok, version, pages::frame("Overview", &viewer, overview_page(session))));
      }
      if (path == "/list") {
        data_t::page_t page;
        try {
          std::string described;
          page = data_.list(selection_words(query, described), page_size, query.get("after"), bounds);
        } catch (const std::exception& e) {
          respond(make(bh::status::bad_request, version,
                       pages::frame("Entries", &viewer, pages::list_error(query, e.what()))));
          return left(e);
        }
        return respond(
            make(bh::status::ok, version, pages::frame("Entries", &viewer, pages::list(query, page, page_size))));
      }
      if (path == "/entry" || path == "/entry/message") {
        std::uint64_t id = 0;
        try {
          id = mqctl::parse_id(query.get("id"));
        } catch (const std::exception&) {
          return respond(refused(bh::status::bad_request, version, "Not an entry id.", &viewer));
        }
        if (path == "/entry/message") {
          auto text = data_.message(id);
          if (!text)
            return respond(refused(bh::status::not_found, version, "No entry " + std::to_string(id) + ".", &viewer));
          // A file to save, never a page to render.
          auto r = make(bh::status::ok, version, std::move(*text), "application/octet-stream");
          r.set(bh::field::content_disposition, "attachment; filename=\"entry-" + std::to_string(id) + ".eml\"");
          return respond(std::move(r));
        }
        const auto e = data_.entry(id);
        if (!e)
          return respond(refused(bh::status::not_found, version, "No entry " + std::to_string(id) + ".", &viewer));
        return respond(
            make(bh::status::ok, version,
                 pages::frame("Entry " + std::to_string(id), &viewer, pages::entry(*e, mqctl::now_seconds()))));
      }
      // /confirm: counts what an action would take; changes nothing.
      const auto action = action_of(query.get("do"));
      if (!action) return respond(refused(bh::status::bad_request, version, "No such action.", &viewer));
      std::string what = action->name;
      std::uint64_t count = 0;
      try {
        if (action->action == data_t::action_t::move)
          what += " to " + mqctl::status_name(mqctl::parse_status(query.get("to")));
        if (query.get("do").find(":ids") != std::string::npos) {
          count = ids_of(query).size();
          what += ", the entries checked";
        } else {
          std::string described;
          const auto words = selection_words(query, described);
          count = data_.select(words, {}, bounds).size();
          what += ", the selection " + described;
        }
      } catch (const std::exception& e) {
        respond(refused(bh::status::bad_request, version, e.what(), &viewer));
        return left(e);
      }
      return respond(
          make(bh::status::ok, version, pages::frame("Confirm", &viewer, pages::confirm(query, what, count, viewer))));
    } catch (const std::exception& e) {
      respond(make(bh::status::bad_gateway, version, pages::frame("Error", &viewer, pages::message(e.what()))));
    }
  });
}

void app_t::post_action(const std::string& path, const form_t& form, const std::string& token, const session_t& session,
                        const std::string& peer, unsigned version, const respond_t& respond) {
  const pages::viewer_t viewer{session.user, session.csrf};
  if (path == "/logout") {
    log_line(6, "user '" + logged(session.user) + "' logged out");
    sessions_.close(token);
    auto r = redirect("/login", version);
    r.set(bh::field::set_cookie, std::string(cookie_name) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    return respond(std::move(r));
  }
  if (path != "/act") return respond(refused(bh::status::not_found, version, "No such page.", &viewer));
  const auto action = action_of(form.get("do"));
  if (!action) return respond(refused(bh::status::bad_request, version, "No such action.", &viewer));
  auto job = std::make_shared<job_t>();
  job->id = sessions_t::random_token().substr(0, 24);
  job->user = session.user;
  job->action = action->action;
  job->past = action->past;
  try {
    std::string what = action->name;
    if (action->action == data_t::action_t::move) {
      job->to = mqctl::status_name(mqctl::parse_status(form.get("to")));
      what += " to " + job->to;
    }
    if (form.get("do").find(":ids") != std::string::npos) {
      job->ids = ids_of(form);
      job->total = job->ids.size();
      what += " " + mqctl::entries(job->ids.size()) + " given by id";
    } else {
      std::string described;
      job->selection = selection_words(form, described);
      what += " the selection " + described;
    }
    job->what = what;
  } catch (const std::exception& e) {
    return respond(refused(bh::status::bad_request, version, e.what(), &viewer));
  }
  // An action holds one of its user's places until it ends, waiting
  // included: nobody queues actions without bound before everyone else's.
  auto place = selections_.take(session.user);
  if (!place) return respond(busy(version, viewer));
  log_line(5, "user '" + logged(session.user) + "' from " + peer + ": " + logged(job->what) + " (pid " +
                  std::to_string(::getpid()) + ")");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_[job->id] = job;
    // Finished actions are kept a while for their page, not for ever.
    while (jobs_.size() > 200) {
      auto oldest = std::find_if(jobs_.begin(), jobs_.end(), [](auto& j) {
        std::lock_guard<std::mutex> l(j.second->mutex);
        return j.second->finished;
      });
      if (oldest == jobs_.end()) break;
      jobs_.erase(oldest);
    }
  }
  boost::asio::post(actions_, [this, job, place = std::move(place)]() mutable { run_job(job, std::move(place)); });
  respond(redirect("/job?id=" + job->id, version));
}

http::response_t app_t::busy(unsigned version, const pages::viewer_t& viewer) {
  if (selections_.held(viewer.user) < selections_.per_user()) {
    auto r = refused(bh::status::service_unavailable, version,
                     "Too many selections and actions are running; try again in a moment.", &viewer);
    r.set(bh::field::retry_after, "1");
    return r;
  }
  return refused(bh::status::too_many_requests, version,
                 "Your other " + std::to_string(selections_.per_user()) +
                     " selections or actions are still running; wait for them, then try again.",
                 &viewer);
}

void app_t::run_job(std::shared_ptr<job_t> job, std::shared_ptr<void> place) {
  const auto set = [&](const std::string& state) {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->state = state;
  };
  try {
    std::vector<std::uint64_t> ids = job->ids;
    if (job->selection) {
      set("selecting");
      ids = data_.select(*job->selection,
                         [&](std::uint64_t seen) {
                           std::lock_guard<std::mutex> lock(job->mutex);
                           job->handled = seen;
                         },
                         {options_.action_budget, {}});
      std::lock_guard<std::mutex> lock(job->mutex);
      job->selected = true;
      job->total = ids.size();
      job->handled = 0;
    }
    set("acting");
    for (std::size_t at = 0; at < ids.size(); at += chunk_size) {
      const auto first = ids.begin() + static_cast<std::ptrdiff_t>(at);
      const std::vector<std::uint64_t> chunk(
          first, first + static_cast<std::ptrdiff_t>(std::min(chunk_size, ids.size() - at)));
      std::string list;
      for (const auto id : chunk) list += " " + std::to_string(id);
      // The daemon names mq-web's uid and pid on each line of its own;
      // this line names the user behind them.
      log_line(5, "user '" + logged(job->user) + "': " +
                      (job->action == data_t::action_t::retry  ? std::string("retry")
                       : job->action == data_t::action_t::move ? "move to " + job->to
                                                               : std::string("remove")) +
                      " of entries" + list + " (pid " + std::to_string(::getpid()) + ")");
      data_t::outcome_t o;
      data_.act(job->action, job->to, chunk, o);
      std::lock_guard<std::mutex> lock(job->mutex);
      job->outcome.done += o.done;
      job->outcome.gone += o.gone;
      job->outcome.changed += o.changed;
      job->outcome.failed += o.failed;
      for (auto& r : o.reasons)
        if (job->outcome.reasons.size() < 20) job->outcome.reasons.push_back(r);
      job->handled += chunk.size();
    }
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->error = e.what();
  }
  place.reset();
  std::lock_guard<std::mutex> lock(job->mutex);
  job->finished = true;
  log_line(5, "user '" + logged(job->user) + "': " + logged(job->what) + ": " +
                  (job->selection && !job->selected ? std::string("nothing done")
                                                    : outcome_text(job->outcome, job->total, " done, ")) +
                  (job->error.empty() ? "" : "; " + logged(job->error)));
}

}  // namespace mq::web
