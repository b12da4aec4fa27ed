#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

namespace mqctl {

// A JSON string literal, quotes included; bytes that are no UTF-8 are
// written as \udc80 to \udcff (U+DC00 + the byte).
std::string json_string(const std::string& text);
// The JSON text of `value`: members in the order they were added, no
// spaces, strings as json_string() writes them.
std::string json_text(const boost::json::value& value);
// A JSON array of the strings of `items`.
template <class range_t>
boost::json::array json_strings(const range_t& items) {
  return boost::json::array(items.begin(), items.end());
}

// A table with a header row, columns padded to their widest cell.
class table_t {
 public:
  explicit table_t(std::vector<std::string> header) { add(std::move(header)); }
  // Cells are shown escaped and padded by their display width.
  void add(std::vector<std::string> row);
  void print(std::ostream& out) const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

// A table printed while its rows arrive: the first `settle` rows fix the
// column widths; later, wider cells push only their own line out.
class stream_table_t {
 public:
  stream_table_t(std::vector<std::string> header, std::ostream& out, std::size_t settle = 1000);
  void add(std::vector<std::string> row);
  void finish();

 private:
  void print(const std::vector<std::string>& row);
  std::ostream& out_;
  std::size_t settle_;
  std::vector<std::vector<std::string>> pending_;
  std::vector<std::size_t> widths_;
  bool settled_ = false;
};

// "1 entry", "2 entries".
std::string entries(std::uint64_t n);
// How a bulk action went: "D of N entries<then>G already gone, C changed
// meanwhile, F failed".
std::string outcome_text(std::uint64_t done, std::uint64_t total, std::uint64_t gone, std::uint64_t changed,
                         std::uint64_t failed, const char* then = ": ");

// Recipients for a table cell: all of them when short, else the first one
// and how many more ("b@x.org +41").
std::string recipients_cell(const std::vector<std::string>& recipients);

}  // namespace mqctl
