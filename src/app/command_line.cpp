#include "app/command_line.h"

#include <cstdlib>
#include <iostream>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <boost/program_options.hpp>

#include "app/app_exe_info.h"
#include "ov/log.h"

namespace mq::app {

namespace po = boost::program_options;

namespace {

std::string app_info_json(const std::string& version, int argc, char** argv) {
  ov::AppExeInfo info;
  try {
    info = ov::make_app_exe_info(version, argc, argv);
  } catch (const std::exception&) {
    info.Clear();
  }
  std::string json;
  try {
    if (!google::protobuf::util::MessageToJsonString(info, &json).ok()) json = "{}";
  } catch (const std::exception&) {
    json = "{}";
  }
  return json;
}

}  // namespace

void run_command_line(const std::string& program_name, const std::string& version, int argc, char** argv) {
  ov::cf_log_threshold = 4;
  ov::cf_log_set(ov::cf_make_default_log());

  const unsigned line_length = po::options_description::m_default_line_length;
  po::options_description visible("Command line options", line_length, line_length / 2);
  visible.add_options()                          //
      ("help,h", "print help message and exit")  //
      ("version,v", "print version and exit");
  po::options_description all("Command line options", line_length, line_length / 2);
  all.add(visible);
  all.add_options()("dump-app-info", "dump exe file info");

  std::vector<std::string> args;
  if (argc > 1) args.assign(argv + 1, argv + argc);
  po::variables_map options;
  po::store(po::command_line_parser(args)
                .options(all)
                .style(po::command_line_style::unix_style | po::command_line_style::long_case_insensitive)
                .run(),
            options);
  po::notify(options);

  if (options.count("help")) {
    std::cout << visible << "\n";
    std::exit(0);
  }
  if (options.count("version")) {
    std::cout << program_name << " " << version << "\n";
    std::exit(0);
  }
  if (options.count("dump-app-info")) {
    std::cout << app_info_json(version, argc, argv) << "\n";
    std::exit(0);
  }
  std::cout << "Cannot run standalone. See " << program_name << "(1) for details.\n";
  std::exit(1);
}

}  // namespace mq::app
