#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace mqctl {

// A JSON string literal, quotes included; bytes that are no UTF-8 are
// written as \udc80 to \udcff (U+DC00 + the byte).
std::string json_string(const std::string& text);
// A JSON array of string literals.
std::string json_strings(const std::vector<std::string>& items);

// A JSON object built member by member, in order.
class json_object_t {
 public:
  json_object_t& add(const std::string& name, const std::string& value);
  json_object_t& add(const std::string& name, const char* value);
  json_object_t& add(const std::string& name, std::uint64_t value);
  json_object_t& add(const std::string& name, bool value);
  // `json` is already JSON text (an object, an array, ...).
  json_object_t& add_raw(const std::string& name, const std::string& json);
  std::string str() const { return text_ + "}"; }

 private:
  void key(const std::string& name);
  std::string text_ = "{";
};

// A JSON array of already-built JSON values.
std::string json_array(const std::vector<std::string>& items);

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
