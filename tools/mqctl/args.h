#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/program_options/variables_map.hpp>

#include "api/status_name.h"

namespace mqctl {

// A command line split into positional words and --options, by
// program_options. Every option must be declared; "--name value" and
// "--name=value" are both accepted; "--" ends the options.
class args_t {
 public:
  struct option_table_t {
    std::set<std::string> flags;     // options without a value
    std::set<std::string> values;    // options with one value, given once
    std::set<std::string> repeated;  // options with a value, given any number of times
  };

  args_t(const std::vector<std::string>& words, const option_table_t& table);

  const std::vector<std::string>& positional() const { return positional_; }
  bool flag(const std::string& name) const;
  std::optional<std::string> value(const std::string& name) const;
  std::vector<std::string> all(const std::string& name) const;

  // Throws unless exactly `count` positional words were given.
  void expect_positional(std::size_t count, const std::string& usage) const;

 private:
  std::vector<std::string> positional_;
  boost::program_options::variables_map values_;
};

// Decimal unsigned 64-bit number, digits only.
std::uint64_t parse_u64(const std::string& text, const std::string& what);
// A positive entry id.
std::uint64_t parse_id(const std::string& text);
// Entry ids; the word "-" reads more from standard input, separated by
// white space (an "ID:TS" key counts as its id).
std::vector<std::uint64_t> parse_ids(const std::vector<std::string>& words);
// smtp-fresh, smtp-accepted, bcc-fresh, bcc-accepted: the wire value 1..4.
int parse_status(const std::string& text);
using mq::api::status_name;
// "ID:TS", a queue key.
std::pair<std::uint64_t, std::uint64_t> parse_key(const std::string& text);

}  // namespace mqctl
