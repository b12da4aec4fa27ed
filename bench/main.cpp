// mq-bench: drives the real daemon over its sockets and sets each figure
// beside the bare cost of the same work on the same machine, in one run.

#include <sstream>

#include "bench.h"

namespace po = boost::program_options;

namespace mq::bench {

namespace {

std::string utc_now() {
  std::time_t t = std::time(nullptr);
  char buf[64];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  return buf;
}

std::string machine() {
  utsname u{};
  ::uname(&u);
  return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, " + u.sysname + " " + u.release + " " + u.machine +
         ", " + MQ_BENCH_BUILD_TYPE + " build";
}

// The items of a comma-separated list, empty ones left out.
std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

std::vector<std::uint64_t> parse_list(const std::string& text) {
  std::vector<std::uint64_t> values;
  for (const auto& item : split_list(text)) {
    std::size_t used = 0;
    values.push_back(std::stoull(item, &used));
    if (used != item.size() || values.back() == 0) throw std::runtime_error("not a positive number: " + item);
  }
  return values;
}

int run_main(int argc, char** argv) {
  options_t o;
  po::options_description desc("Usage: mq-bench [options]");
  // clang-format off
  desc.add_options()
    ("help,h", "this text")
    ("daemon", po::value(&o.daemon)->default_value(ORVANE_MAIL_QUARANTINE_PATH), "the daemon executable")
    ("mqctl", po::value(&o.mqctl)->default_value(MQCTL_PATH), "the mqctl executable")
    ("dir", po::value(&o.dir)->default_value("/tmp"), "where the temporary spool directories go")
    ("json", po::value(&o.json), "write the results as JSON to this file")
    ("markdown", po::value(&o.markdown), "write the table in Markdown to this file")
    ("runs", po::value(&o.runs)->default_value(3), "runs of every case")
    ("scale", po::value(&o.scale)->default_value(1.0), "multiplies the number of operations per case (300 entries)")
    ("only", po::value(&o.only), "comma-separated groups: put,get,update,remove,lifecycle,mixed,walk,stat,burst,hostile,large,flush,mqctl,scrape,log,freeze,check")
    ("smoke", po::bool_switch(&o.smoke), "a few hundred operations, to check that the benchmark still works")
    ("bare-sync", po::value(&o.bare_sync)->default_value(true), "sync each message file in the bare loop")
    ("log-level", po::value(&o.log_level)->default_value(3), "ov.LogLevel of the daemon (1 debug .. 5 error)")
    ("sizes", po::value<std::string>(), "comma-separated message sizes in bytes instead of 1, 10, 100 and 1024 KiB")
    ("loads", po::value<std::string>(), "comma-separated CONNECTIONSxIN_FLIGHT instead of 1x1,8x16")
    ("walk-sizes", po::value<std::string>(),
     "comma-separated queue lengths for the walks instead of 10000, 100000 and 1000000")
    ("check-entries", po::value(&o.check_entries)->default_value(1000000), "entries of the health check case")
    ("large-recipients", po::value(&o.large_recipients)->default_value(1500000), "recipients of the large entry case")
    ("keep", po::bool_switch(&o.keep), "keep the spool directories of the daemon runs")
    ("fill", po::value<std::string>(),
     "only fill the spool directory SPOOL with a smtp-fresh queue of --fill-count entries as the walks do, "
     "then exit (for bench/web_bench.py)")
    ("fill-count", po::value<std::uint64_t>()->default_value(1000000), "entries of --fill");
  // clang-format on
  po::variables_map vm;
  po::store(po::parse_command_line(argc, argv, desc), vm);
  po::notify(vm);
  if (vm.count("help")) {
    std::cout << desc << "\n";
    return 0;
  }
  if (vm.count("fill")) {
    fill_queue(vm["fill"].as<std::string>(), vm["fill-count"].as<std::uint64_t>(), mq::store::smtp_fresh, false);
    return 0;
  }
  if (o.smoke) {
    o.runs = 1;
    o.sizes = {kib, 10 * kib, 100 * kib};
    o.loads = {{1, 1}, {2, 4}};
    o.walk_sizes = {350};
    o.burst_load = {2, 10};
    o.stat_repeats = 3;
    o.page_repeats = 2;
  } else {
    o.sizes = {kib, 10 * kib, 100 * kib, mib};
    o.loads = {{1, 1}, {8, 16}};
    o.walk_sizes = {10000, 100000, 1000000};
  }
  if (vm.count("sizes")) o.sizes = parse_list(vm["sizes"].as<std::string>());
  if (vm.count("loads")) {
    o.loads.clear();
    for (const auto& item : split_list(vm["loads"].as<std::string>())) {
      int connections = 0, in_flight = 0;
      char x = 0;
      if (std::sscanf(item.c_str(), "%d%c%d", &connections, &x, &in_flight) != 3 || x != 'x' || connections < 1 ||
          in_flight < 1)
        throw std::runtime_error("--loads: expected CONNECTIONSxIN_FLIGHT, got '" + item + "'");
      o.loads.push_back({connections, in_flight});
    }
  }
  if (vm.count("walk-sizes")) o.walk_sizes = parse_list(vm["walk-sizes"].as<std::string>());
  if (o.runs < 1) throw std::runtime_error("--runs must be at least 1");

  std::string pattern = o.dir + "/mq-bench.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a directory in " + o.dir);
  std::string root = pattern;
  bench_t bench(o, root);
  std::string date = utc_now();
  try {
    bench.run();
  } catch (...) {
    if (!o.keep) boost::filesystem::remove_all(root);
    throw;
  }
  if (!o.keep) boost::filesystem::remove_all(root);

  std::cout << "mq-bench " << date << ", " << machine() << ", " << o.runs << " runs" << (o.smoke ? " (smoke)" : "")
            << "\n"
            << "ratio = daemon / bare for rates, bare / daemon for times (1 = the bare limit), median [min-max] "
               "of the per-run ratios\n\n";
  bench.report().print_table(std::cout);
  if (!o.json.empty()) {
    std::ofstream out(o.json);
    bench.report().write_json(out, date, machine(), o.runs, o.smoke);
    if (!out) throw std::runtime_error("cannot write " + o.json);
    std::cout << "\nJSON: " << o.json << "\n";
  }
  if (!o.markdown.empty()) {
    std::ofstream out(o.markdown);
    out << "Measured " << date << " on " << machine() << ", " << o.runs << " runs.\n\n";
    bench.report().print_markdown(out);
    if (!out) throw std::runtime_error("cannot write " + o.markdown);
  }
  return 0;
}

}  // namespace

}  // namespace mq::bench

int main(int argc, char** argv) {
  try {
    return mq::bench::run_main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "mq-bench: " << e.what() << std::endl;
    return 1;
  }
}
