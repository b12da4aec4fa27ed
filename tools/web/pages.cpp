#include "web/pages.h"

#include <algorithm>
#include <cmath>

#include <google/protobuf/descriptor.h>

#include "annotation.pb.h"
#include "api/status_name.h"
#include "mqctl/output.h"
#include "mqctl/time_text.h"
#include "url_category.pb.h"
#include "web/escape.h"

namespace mq::web::pages {

namespace {

std::string num(std::uint64_t n) { return std::to_string(n); }

std::string time_text(std::uint64_t ts) { return ts ? mqctl::iso_time(ts, true) : "now (due)"; }

std::string age_text(std::optional<std::uint64_t> ts, std::uint64_t now) {
  if (!ts) return "?";
  return *ts >= now ? "0s" : mqctl::duration_text(now - *ts);
}

std::string category_name(int value) {
  const auto* d = ov::UrlCategory_descriptor()->FindValueByNumber(value);
  if (!d) return "category " + std::to_string(value);
  const std::string lex = d->options().GetExtension(ov::lex);
  return lex.empty() ? d->name() : lex;
}

std::string field(const char* label, const std::string& escaped_value) {
  return "<tr><th>" + std::string(label) + "</th><td>" + escaped_value + "</td></tr>\n";
}

std::string hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + html(name) + "\" value=\"" + html(value) + "\">";
}

// The query of the selection in `query`, for links and forms.
std::string selection_query(const form_t& query) {
  std::string q;
  for (const auto& name : selection_fields())
    if (const std::string v = query.get(name); !v.empty()) q += (q.empty() ? "" : "&") + name + "=" + url_component(v);
  return q;
}

std::string selection_hidden(const form_t& query) {
  std::string out;
  for (const auto& name : selection_fields())
    if (const std::string v = query.get(name); !v.empty()) out += hidden(name, v);
  return out;
}

std::string status_options(const std::string& chosen, bool with_all) {
  std::string out;
  for (const char* s : api::status_names)
    out += std::string("<option value=\"") + s + "\"" + (chosen == s ? " selected" : "") + ">" + s + "</option>";
  if (with_all) out += std::string("<option value=\"all\"") + (chosen == "all" ? " selected" : "") + ">all</option>";
  return out;
}

std::string filter_form(const form_t& query) {
  struct input_t {
    const char* name;
    const char* label;
    const char* hint;
  };
  static const input_t inputs[] = {
      {"sender", "Sender", "regular expression"}, {"rcpt", "Recipient", "regular expression"},
      {"domain", "Domain", "example.org"},        {"older-than", "Older than", "2h"},
      {"younger-than", "Younger than", "30m"},    {"larger-than", "Larger than", "1M"},
      {"smaller-than", "Smaller than", "10k"},    {"attempts", "Attempts", "exactly"},
      {"attempts-min", "Attempts at least", "3"}};
  std::string out = "<form class=\"filter\" method=\"get\" action=\"/list\">\n<label>Status <select name=\"status\">" +
                    status_options(query.get("status").empty() ? "smtp-fresh" : query.get("status"), true) +
                    "</select></label>\n";
  for (const auto& i : inputs)
    out += std::string("<label>") + i.label + " <input name=\"" + i.name + "\" value=\"" + html(query.get(i.name)) +
           "\" placeholder=\"" + i.hint + "\"></label>\n";
  out += "<button type=\"submit\">Find</button></form>\n";
  return out;
}

}  // namespace

const std::vector<std::string>& selection_fields() {
  static const std::vector<std::string> names = {"status",     "sender",       "rcpt",        "domain",
                                                 "older-than", "younger-than", "larger-than", "smaller-than",
                                                 "attempts",   "attempts-min"};
  return names;
}

const char* const style_sheet = R"(body{font:14px/1.4 sans-serif;margin:0;color:#222;background:#fafafa}
header{background:#2b3a4a;color:#fff;padding:.5em 1em;display:flex;gap:1.5em;align-items:center}
header a{color:#fff}header .who{margin-left:auto}header form{display:inline}
main{padding:1em;max-width:100%;overflow-wrap:anywhere}
table{border-collapse:collapse;margin:.5em 0;table-layout:auto}
th,td{border:1px solid #ccc;padding:.2em .5em;text-align:left;vertical-align:top;max-width:40em;overflow-wrap:anywhere;unicode-bidi:isolate}
td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap;overflow-wrap:normal}
td.t{white-space:nowrap}th{overflow-wrap:normal}
pre{background:#fff;border:1px solid #ccc;padding:.5em;white-space:pre-wrap;overflow-wrap:anywhere;unicode-bidi:isolate}
.filter label{display:inline-block;margin:0 .8em .3em 0}
.error{color:#a00;font-weight:bold}.note{color:#666}
.actions{margin:.5em 0}.actions button{margin-right:.5em}
table.heat td.n{min-width:3.5em}
.h0{background:#fff}.h1{background:#fff3e0}.h2{background:#ffe0b2}.h3{background:#ffcc80}.h4{background:#ffb74d}
.h5{background:#ffa726}.h6{background:#fb8c00;color:#fff}.h7{background:#e65100;color:#fff}.h8{background:#bf360c;color:#fff}
)";

std::string frame(const std::string& title, const viewer_t* viewer, const std::string& body,
                  std::optional<int> refresh) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"referrer\" content=\"no-referrer\">";
  if (refresh) out += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(*refresh) + "\">";
  out += "<title>" + html(title) + " - mail quarantine</title><link rel=\"stylesheet\" href=\"/static/style.css\">" +
         "</head>\n<body><header><strong>Mail quarantine</strong>";
  if (viewer) {
    out += "<a href=\"/\">Overview</a><a href=\"/list\">Entries</a><span class=\"who\">" + html(viewer->user) +
           "</span><form method=\"post\" action=\"/logout\">" + hidden("csrf", viewer->csrf) +
           "<button type=\"submit\">Log out</button></form>";
  }
  out += "</header>\n<main>\n<h1>" + html(title) + "</h1>\n" + body + "</main></body></html>\n";
  return out;
}

std::string login(const std::string& message, const std::string& token) {
  std::string body;
  if (!message.empty()) body += "<p class=\"error\">" + html(message) + "</p>";
  body += "<form method=\"post\" action=\"/login\">" + hidden("login_token", token) +
          "<p><label>User <input name=\"user\" autocomplete=\"username\" "
          "autofocus></label></p><p><label>Password <input type=\"password\" name=\"password\" "
          "autocomplete=\"current-password\"></label></p><p><button type=\"submit\">Log in</button></p></form>";
  return frame("Log in", nullptr, body);
}

std::string message(const std::string& text) { return "<p class=\"error\">" + html(text) + "</p>"; }

std::string overview(const std::array<data_t::status_figures_t, 4>& figures, const data_t::shape_t* shape,
                     const std::string& shape_note) {
  std::string body =
      "<h2>Statuses</h2><table id=\"statuses\"><tr><th>Status</th><th>Entries</th><th>Bytes</th>"
      "<th>Oldest overdue</th></tr>\n";
  for (const auto& s : figures)
    body += "<tr><td><a href=\"/list?status=" + url_component(s.name) + "\">" + html(s.name) +
            "</a></td><td class=\"n\">" + num(s.messages) + "</td><td class=\"n\">" + num(s.bytes) +
            "</td><td class=\"n\">" + (s.oldest_overdue ? mqctl::duration_text(*s.oldest_overdue) : "-") +
            "</td></tr>\n";
  body += "</table>\n<h2>Shape: domain by age</h2>\n";
  if (!shape_note.empty()) body += "<p class=\"note\">" + html(shape_note) + "</p>\n";
  if (!shape) return body;
  std::uint64_t top = 1;
  for (const auto& r : shape->rows)
    if (r.name != "total")
      for (const auto c : r.cells) top = std::max(top, c);
  body += "<table class=\"heat\" id=\"shape\"><tr><th>Domain</th><th>Total</th>";
  for (const auto& c : shape->columns) body += "<th>" + html(c) + "</th>";
  body += "</tr>\n";
  for (const auto& r : shape->rows) {
    body += "<tr><td>" + html(r.name) + "</td><td class=\"n\">" + num(r.total) + "</td>";
    for (const auto c : r.cells) {
      // On a log scale: one stuck domain must not wash out the rest.
      const int level =
          c == 0 || r.name == "total"
              ? 0
              : 1 + static_cast<int>(std::floor(7.0 * std::log1p(static_cast<double>(c)) / std::log1p(double(top))));
      body += "<td class=\"n h" + std::to_string(std::min(level, 8)) + "\">" + num(c) + "</td>";
    }
    body += "</tr>\n";
  }
  body += "</table>\n";
  return body;
}

std::string list_error(const form_t& query, const std::string& error) {
  return filter_form(query) + "<p class=\"error\">" + html(error) + "</p>";
}

std::string list(const form_t& query, const data_t::page_t& page, std::size_t page_size) {
  const std::uint64_t now = mqctl::now_seconds();
  std::string body = filter_form(query);
  body += "<p class=\"note\">Sorted by due time, earliest first; " + mqctl::entries(page.items.size()) +
          " on this page.</p>\n";
  body += "<form method=\"get\" action=\"/confirm\">" + selection_hidden(query);
  body +=
      "<table id=\"entries\"><tr><th></th><th>ID</th><th>Status</th><th>Age</th><th>Size</th><th>Due</th>"
      "<th>Attempts</th><th>Sender</th><th>Recipients</th></tr>\n";
  for (const auto& i : page.items) {
    const std::string id = num(i.id);
    // Appended piece by piece: a row is built once, not through temporaries.
    body.append("<tr><td><input type=\"checkbox\" name=\"id\" value=\"")
        .append(id)
        .append("\"></td><td class=\"n\"><a href=\"/entry?id=")
        .append(id)
        .append("\">")
        .append(id)
        .append("</a></td><td>")
        .append(html(i.status))
        .append("</td><td class=\"n\">")
        .append(age_text(i.received_ts, now))
        .append("</td><td class=\"n\">")
        .append(i.size ? num(*i.size) : "?")
        .append("</td><td class=\"t\">")
        .append(time_text(i.next_access_ts))
        .append("</td><td class=\"n\">")
        .append(num(i.attempts))
        .append("</td><td class=\"sender\">")
        .append(html(i.sender.empty() ? "<>" : i.sender))
        .append("</td><td>")
        .append(html(mqctl::recipients_cell(i.recipients)))
        .append("</td></tr>\n");
  }
  body +=
      "</table>\n<div class=\"actions\">Checked entries: "
      "<button name=\"do\" value=\"retry:ids\">Retry now</button>"
      "<button name=\"do\" value=\"remove:ids\">Remove</button>"
      "<button name=\"do\" value=\"move:ids\">Move to</button></div>\n"
      "<div class=\"actions\">The whole selection: "
      "<button name=\"do\" value=\"retry:selection\">Retry all</button>"
      "<button name=\"do\" value=\"remove:selection\">Remove all</button>"
      "<button name=\"do\" value=\"move:selection\">Move all to</button></div>\n"
      "<div class=\"actions\"><label>Move to <select name=\"to\">" +
      status_options("smtp-accepted", false) + "</select></label></div></form>\n";
  if (!page.next_after.empty())
    body += "<p><a id=\"next\" href=\"/list?" + selection_query(query) +
            "&amp;after=" + url_component(page.next_after) + "\">Next " + num(page_size) + "</a></p>\n";
  else if (page.items.size() >= page_size && query.get("status") == "all")
    body += "<p class=\"note\">Pick one status to page on.</p>\n";
  return body;
}

std::string entry(const data_t::entry_t& d, std::uint64_t now) {
  const mq::Entry& e = d.entry;
  const std::string id = num(d.id);
  std::string body = "<table id=\"summary\">";
  body += field("ID", id) + field("Status", html(d.status)) +
          field("Received", html(time_text(e.received_ts())) + " (" + age_text(e.received_ts(), now) + " ago)") +
          field("Due", html(time_text(e.next_access_ts()))) + field("Attempts", num(e.attempts())) +
          field("Size", num(e.message_size()) + " bytes") +
          field("Session", html(e.has_session_id() ? e.session_id() : "-"));
  body += "</table>\n<div class=\"actions\"><form method=\"get\" action=\"/confirm\">" + hidden("id", id) +
          "<button name=\"do\" value=\"retry:ids\">Retry now</button>"
          "<button name=\"do\" value=\"remove:ids\">Remove</button>"
          "<button name=\"do\" value=\"move:ids\">Move to</button><select name=\"to\">" +
          status_options(d.status == "smtp-accepted" ? "smtp-fresh" : "smtp-accepted", false) +
          "</select></form> <a href=\"/entry/message?id=" + id + "\" download>Download the message</a></div>\n";

  const auto& c = e.smtp_connect();
  body += "<h2>Connection</h2><table id=\"connection\">" + field("HELO", html(c.helo())) +
          field("Address", html(c.address())) + field("Port", c.has_port() ? num(c.port()) : "") +
          field("Protocol", html(c.proto())) + "</table>\n";

  const auto params = [](const auto& esmtp) {
    std::string out;
    for (const auto& p : esmtp) out += "<li>" + html(p) + "</li>";
    return out.empty() ? std::string() : "<ul>" + out + "</ul>";
  };
  body += "<h2>Envelope</h2><table id=\"envelope\"><tr><th></th><th>Address</th><th>ESMTP parameters</th></tr>";
  const std::string& sender = e.smtp_sender().sender();
  body += "<tr><th>Sender</th><td>" + html(sender.empty() ? "<>" : sender) + "</td><td>" +
          params(e.smtp_sender().esmtp()) + "</td></tr>";
  for (const auto& r : e.smtp_recipient())
    body += "<tr><th>Recipient</th><td>" + html(r.recipient()) + "</td><td>" + params(r.esmtp()) + "</td></tr>";
  body += "</table>\n";

  body += "<h2>MIME parts</h2><table id=\"parts\"><tr><th>Part</th><th>Verdict</th><th>Samples</th></tr>";
  for (const auto& p : e.mime_part()) {
    std::string samples;
    for (const auto& s : p.kavren_sample()) {
      samples += "<li>" + html(s.id());
      for (const auto& a : s.analysis()) samples += "<br>" + html(a.id()) + ": " + html(a.params());
      samples += "</li>";
    }
    body += "<tr><td>" + html(p.path()) + "</td><td>" + html(p.scan_report()) + "</td><td><ul>" + samples +
            "</ul></td></tr>";
  }
  body += "</table>\n<h2>URLs</h2><table id=\"urls\"><tr><th>URL</th><th>As checked</th><th>Categories</th></tr>";
  for (const auto& u : e.url()) {
    std::string categories;
    for (const int cat : u.category()) categories += (categories.empty() ? "" : ", ") + category_name(cat);
    body +=
        "<tr><td>" + html(u.url()) + "</td><td>" + html(u.legal_url()) + "</td><td>" + html(categories) + "</td></tr>";
  }
  body += "</table>\n<h2>Header</h2>";
  body += d.readable ? "<pre id=\"header\">" + html_lines(d.header_block) + "</pre>\n"
                     : "<p class=\"error\">The daemon could not read the message file.</p>\n";
  return body;
}

std::string confirm(const form_t& query, const std::string& what, std::uint64_t count, const viewer_t& viewer) {
  std::string body =
      "<p id=\"question\">" + html(what) + ": <strong id=\"count\">" + mqctl::entries(count) + "</strong>.</p>\n";
  if (count == 0) return body + "<p>Nothing to do.</p>";
  body += "<form method=\"post\" action=\"/act\">" + hidden("csrf", viewer.csrf) + hidden("do", query.get("do")) +
          hidden("to", query.get("to"));
  if (query.get("do").find(":ids") != std::string::npos)
    for (const auto& id : query.all("id")) body += hidden("id", id);
  else
    body += selection_hidden(query);
  body += "<button type=\"submit\" id=\"proceed\">Proceed</button> <a href=\"/list?" + selection_query(query) +
          "\">Cancel</a></form>\n";
  return body;
}

}  // namespace mq::web::pages
