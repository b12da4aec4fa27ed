#include "report.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "stats.h"

namespace mq::bench {

namespace {

std::string number(double v) {
  char buf[32];
  double a = v < 0 ? -v : v;
  if (a >= 1000)
    std::snprintf(buf, sizeof(buf), "%.0f", v);
  else if (a >= 100)
    std::snprintf(buf, sizeof(buf), "%.1f", v);
  else if (a >= 1)
    std::snprintf(buf, sizeof(buf), "%.2f", v);
  else
    std::snprintf(buf, sizeof(buf), "%.3g", v);
  return buf;
}

std::string spread(const std::vector<double>& values) {
  auto s = summarize(values);
  return number(s.median) + " [" + number(s.min) + "-" + number(s.max) + "]";
}

std::string json_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

void json_summary(std::ostream& out, const std::vector<double>& values) {
  auto s = summarize(values);
  out << "{\"median\": " << s.median << ", \"min\": " << s.min << ", \"max\": " << s.max << ", \"runs\": [";
  for (size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << values[i];
  out << "]}";
}

}  // namespace

void figure_t::add(double daemon_value, double bare_value, long rss_kib) {
  daemon.push_back(daemon_value);
  bare.push_back(bare_value);
  daemon_peak_rss_kib.push_back(static_cast<double>(rss_kib));
}

void figure_t::add(double daemon_value, double bare_value, double limit_value, long rss_kib) {
  add(daemon_value, bare_value, rss_kib);
  limit.push_back(limit_value);
}

std::vector<double> figure_t::ratios_to(const std::vector<double>& reference) const {
  std::vector<double> r;
  for (size_t i = 0; i < daemon.size() && i < reference.size(); ++i) {
    double num = higher_is_better ? daemon[i] : reference[i];
    double den = higher_is_better ? reference[i] : daemon[i];
    r.push_back(den > 0 ? num / den : 0);
  }
  return r;
}

figure_t& report_t::figure(const std::string& case_name, const std::string& metric, bool higher_is_better) {
  for (auto& f : figures_) {
    if (f.case_name == case_name && f.metric == metric) return f;
  }
  figures_.push_back(figure_t{case_name, metric, higher_is_better, {}, {}, {}, {}});
  return figures_.back();
}

std::vector<std::vector<std::string>> report_t::rows() const {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"case", "figure", "daemon/bare [min-max]", "daemon/limit [min-max]", "daemon [min-max]",
                  "bare [min-max]", "limit [min-max]", "peak RSS MiB"});
  std::string last_case;
  for (const auto& f : figures_) {
    auto rss = summarize(f.daemon_peak_rss_kib);
    const bool limited = !f.limit.empty();
    rows.push_back({f.case_name == last_case ? "" : f.case_name, f.metric, spread(f.ratios()),
                    limited ? spread(f.ratios_to(f.limit)) : "-", spread(f.daemon), spread(f.bare),
                    limited ? spread(f.limit) : "-", number(rss.max / 1024.0)});
    last_case = f.case_name;
  }
  return rows;
}

void report_t::print_markdown(std::ostream& out) const {
  auto all = rows();
  all.insert(all.begin() + 1, std::vector<std::string>(all.front().size(), "---"));
  for (const auto& row : all) {
    std::string line = "|";
    for (const auto& cell : row) line += " " + cell + " |";
    out << line << "\n";
  }
}

void report_t::print_table(std::ostream& out) const {
  auto rows = this->rows();
  std::vector<size_t> width(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    out << line << "\n";
  }
}

void report_t::write_json(std::ostream& out, const std::string& date, const std::string& machine, int runs,
                          bool smoke) const {
  out << std::setprecision(6);
  out << "{\n  \"date\": \"" << json_escape(date) << "\",\n  \"machine\": \"" << json_escape(machine)
      << "\",\n  \"runs\": " << runs << ",\n  \"smoke\": " << (smoke ? "true" : "false")
      << ",\n  \"ratio\": \"per run: daemon/bare for rates, bare/daemon for times; 1 = bare loop\",\n"
      << "  \"figures\": [\n";
  for (size_t i = 0; i < figures_.size(); ++i) {
    const auto& f = figures_[i];
    out << "    {\"case\": \"" << json_escape(f.case_name) << "\", \"figure\": \"" << json_escape(f.metric)
        << "\", \"higher_is_better\": " << (f.higher_is_better ? "true" : "false") << ",\n     \"ratio\": ";
    json_summary(out, f.ratios());
    out << ",\n     \"daemon\": ";
    json_summary(out, f.daemon);
    out << ",\n     \"bare\": ";
    json_summary(out, f.bare);
    if (!f.limit.empty()) {
      out << ",\n     \"ratio_to_limit\": ";
      json_summary(out, f.ratios_to(f.limit));
      out << ",\n     \"limit\": ";
      json_summary(out, f.limit);
    }
    out << ",\n     \"daemon_peak_rss_kib\": ";
    json_summary(out, f.daemon_peak_rss_kib);
    out << "}" << (i + 1 < figures_.size() ? "," : "") << "\n";
  }
  out << "  ]\n}\n";
}

}  // namespace mq::bench
