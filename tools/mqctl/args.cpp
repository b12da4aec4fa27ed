#include "args.h"

#include <charconv>
#include <iostream>
#include <limits>

#include <boost/program_options.hpp>

#include "api/status_name.h"
#include "errors.h"

namespace mqctl {

namespace {

namespace po = boost::program_options;

// Where the positional words go: no option anyone would type, and unknown
// if typed.
const char* const positional_key = "(positional)";

}  // namespace

args_t::args_t(const std::vector<std::string>& words, const option_table_t& table) {
  po::options_description options;
  auto add = options.add_options();
  // A flag is a list of no values, so that it may be given again.
  for (const auto& n : table.flags) add(n.c_str(), po::value<std::vector<std::string>>()->zero_tokens()->composing());
  for (const auto& n : table.values) add(n.c_str(), po::value<std::string>());
  for (const auto& n : table.repeated) add(n.c_str(), po::value<std::vector<std::string>>()->composing());
  add(positional_key, po::value<std::vector<std::string>>());
  po::positional_options_description positional;
  positional.add(positional_key, -1);
  // Long options only, spelled out: "-" and "-5" are words, "--js" no --json.
  const int style = po::command_line_style::allow_long | po::command_line_style::long_allow_adjacent |
                    po::command_line_style::long_allow_next;
  try {
    const po::parsed_options parsed =
        po::command_line_parser(words).options(options).positional(positional).style(style).run();
    for (const auto& o : parsed.options) {
      if (o.string_key == positional_key && o.position_key < 0) throw po::unknown_option("--" + o.string_key);
      if (o.string_key == positional_key) positional_.push_back(o.value.front());
    }
    po::store(parsed, values_);
  } catch (const po::unknown_option& e) {
    throw usage_error_t("unknown option " + e.get_option_name());
  } catch (const po::multiple_occurrences& e) {
    throw usage_error_t("option " + e.get_option_name() + " given twice");
  } catch (const po::invalid_command_line_syntax& e) {
    const bool extra = e.kind() == po::invalid_command_line_syntax::extra_parameter;
    throw usage_error_t("option " + e.get_option_name() + (extra ? " takes no value" : " needs a value"));
  } catch (const po::error& e) {
    throw usage_error_t(e.what());
  }
}

bool args_t::flag(const std::string& name) const { return values_.count(name) != 0; }

std::optional<std::string> args_t::value(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second.as<std::string>();
}

std::vector<std::string> args_t::all(const std::string& name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>() : it->second.as<std::vector<std::string>>();
}

void args_t::expect_positional(std::size_t count, const std::string& usage) const {
  if (positional_.size() != count) throw usage_error_t("usage: mqctl " + usage);
}

std::uint64_t parse_u64(const std::string& text, const std::string& what) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.size() > 20 || error != std::errc() || end != text.data() + text.size())
    throw usage_error_t("invalid " + what + ": '" + text + "'");
  return value;
}

std::uint64_t parse_id(const std::string& text) {
  const std::uint64_t id = parse_u64(text, "entry id");
  if (id == 0 || id > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    throw usage_error_t("invalid entry id: '" + text + "'");
  return id;
}

std::vector<std::uint64_t> parse_ids(const std::vector<std::string>& words) {
  std::vector<std::uint64_t> ids;
  for (const auto& w : words) {
    if (w != "-") {
      ids.push_back(parse_id(w));
      continue;
    }
    for (std::string word; std::cin >> word;) ids.push_back(parse_id(word.substr(0, word.find(':'))));
    if (std::cin.bad()) throw file_error_t("cannot read the ids from standard input");
  }
  return ids;
}

int parse_status(const std::string& text) {
  if (const auto status = mq::api::parse_status_name(text)) return *status;
  std::string known;
  for (std::size_t i = 0; i < mq::api::status_names.size(); ++i)
    known += (i == 0                                  ? ""
              : i + 1 == mq::api::status_names.size() ? " or "
                                                      : ", ") +
             std::string(mq::api::status_names[i]);
  throw usage_error_t("unknown status '" + text + "' (" + known + ")");
}

std::pair<std::uint64_t, std::uint64_t> parse_key(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) throw usage_error_t("invalid key '" + text + "' (expected ID:TS)");
  return {parse_u64(text.substr(0, colon), "key id"), parse_u64(text.substr(colon + 1), "key time")};
}

}  // namespace mqctl
