#pragma once

#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace mq::bench {

// One measured figure of one case, with a value per run for the daemon and
// for the bare loop of the same run.
struct figure_t {
  std::string case_name;
  std::string metric;
  bool higher_is_better = true;
  std::vector<double> daemon;
  std::vector<double> bare;
  std::vector<double> daemon_peak_rss_kib;
  // The limit loop's figure of the same run, where the case has one.
  std::vector<double> limit;

  void add(double daemon_value, double bare_value, long rss_kib);
  void add(double daemon_value, double bare_value, double limit_value, long rss_kib);
  // Per run: the daemon's figure as a share of the bare loop's, so that 1
  // means the daemon does the work as fast as the bare loop and 0.5 means
  // it takes twice as long.
  std::vector<double> ratios() const { return ratios_to(bare); }
  // The same against the limit loop.
  std::vector<double> ratios_to(const std::vector<double>& reference) const;
};

class report_t {
 public:
  figure_t& figure(const std::string& case_name, const std::string& metric, bool higher_is_better);

  void print_table(std::ostream& out) const;
  // The same table in Markdown, for the README.
  void print_markdown(std::ostream& out) const;
  void write_json(std::ostream& out, const std::string& date, const std::string& machine, int runs, bool smoke) const;

 private:
  std::vector<std::vector<std::string>> rows() const;

  std::deque<figure_t> figures_;
};

}  // namespace mq::bench
