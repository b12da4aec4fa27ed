#include "args.h"

#include <charconv>
#include <iostream>
#include <limits>

#include "api/status_name.h"
#include "errors.h"

namespace mqctl {

args_t::args_t(const std::vector<std::string>& words, const option_table_t& table) {
  bool options_done = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_done || word.size() < 2 || word.compare(0, 2, "--") != 0) {
      positional_.push_back(word);
      continue;
    }
    if (word == "--") {
      options_done = true;
      continue;
    }
    std::string name = word.substr(2);
    std::optional<std::string> inline_value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.erase(eq);
    }
    if (table.flags.count(name)) {
      if (inline_value) throw usage_error_t("option --" + name + " takes no value");
      flags_.insert(name);
      continue;
    }
    const bool once = table.values.count(name) != 0;
    if (!once && !table.repeated.count(name)) throw usage_error_t("unknown option --" + name);
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else {
      if (i + 1 >= words.size()) throw usage_error_t("option --" + name + " needs a value");
      value = words[++i];
    }
    auto& slot = values_[name];
    if (once && !slot.empty()) throw usage_error_t("option --" + name + " given twice");
    slot.push_back(std::move(value));
  }
}

std::optional<std::string> args_t::value(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end() || it->second.empty()) return std::nullopt;
  return it->second.front();
}

std::vector<std::string> args_t::all(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>() : it->second;
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
