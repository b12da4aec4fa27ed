#include "output.h"

#include <algorithm>
#include <cstdio>

#include <boost/json/serialize.hpp>

#include "text.h"

namespace mqctl {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  char buf[8];
  each_char(
      text,
      [&](char32_t c, std::size_t start, std::size_t end) {
        if (const char* escape = short_escape(c)) {
          out += escape;
        } else if (c == '"') {
          out += "\\\"";
        } else if (c < 0x20 || c == 0x7f) {
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out.append(text, start, end - start);
        }
      },
      [&](unsigned char byte) {
        // A byte that is no UTF-8 becomes the lone surrogate U+DC80 + byte,
        // which no valid text holds: the output stays valid UTF-8 and the
        // bytes come back exactly (a "surrogateescape" decoder does that).
        std::snprintf(buf, sizeof buf, "\\udc%02x", byte);
        out += buf;
      });
  return out + "\"";
}

namespace {

// Strings go through json_string(): Boost.JSON would pass bytes that are no
// UTF-8 through as they are, and leave DEL unescaped.
void append_json(std::string& out, const boost::json::value& value) {
  if (const auto* object = value.if_object()) {
    out += '{';
    for (const auto& member : *object) {
      if (out.back() != '{') out += ',';
      out += json_string(std::string(member.key())) + ':';
      append_json(out, member.value());
    }
    out += '}';
  } else if (const auto* array = value.if_array()) {
    out += '[';
    for (const auto& item : *array) {
      if (out.back() != '[') out += ',';
      append_json(out, item);
    }
    out += ']';
  } else if (const auto* string = value.if_string()) {
    out += json_string(std::string(*string));
  } else {
    out += boost::json::serialize(value);
  }
}

}  // namespace

std::string json_text(const boost::json::value& value) {
  std::string out;
  append_json(out, value);
  return out;
}

namespace {

// Every cell is shown escaped, so one row is one line whatever came in.
std::vector<std::string> escaped(std::vector<std::string> row) {
  for (auto& cell : row) cell = shown(cell);
  return row;
}

std::string padded_line(const std::vector<std::string>& row, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < row.size(); ++i) {
    line += row[i];
    if (i + 1 < row.size()) {
      const std::size_t width = display_width(row[i]);
      const std::size_t column = i < widths.size() ? widths[i] : 0;
      line.append(column > width ? column - width + 2 : 2, ' ');
    }
  }
  return line;
}

void widen(std::vector<std::size_t>& widths, const std::vector<std::string>& row) {
  if (widths.size() < row.size()) widths.resize(row.size(), 0);
  for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], display_width(row[i]));
}

}  // namespace

void table_t::add(std::vector<std::string> row) { rows_.push_back(escaped(std::move(row))); }

void table_t::print(std::ostream& out) const {
  std::vector<std::size_t> widths;
  for (const auto& row : rows_) widen(widths, row);
  for (const auto& row : rows_) out << padded_line(row, widths) << '\n';
}

stream_table_t::stream_table_t(std::vector<std::string> header, std::ostream& out, std::size_t settle)
    : out_(out), settle_(settle) {
  pending_.push_back(std::move(header));
}

void stream_table_t::add(std::vector<std::string> row) {
  row = escaped(std::move(row));
  if (settled_) {
    print(row);
    return;
  }
  pending_.push_back(std::move(row));
  if (pending_.size() > settle_) finish();
}

void stream_table_t::finish() {
  if (settled_) return;
  settled_ = true;
  for (const auto& row : pending_) widen(widths_, row);
  for (const auto& row : pending_) print(row);
  pending_.clear();
  pending_.shrink_to_fit();
}

void stream_table_t::print(const std::vector<std::string>& row) { out_ << padded_line(row, widths_) << '\n'; }

std::string entries(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

std::string outcome_text(std::uint64_t done, std::uint64_t total, std::uint64_t gone, std::uint64_t changed,
                         std::uint64_t failed, const char* then) {
  return std::to_string(done) + " of " + entries(total) + then + std::to_string(gone) + " already gone, " +
         std::to_string(changed) + " changed meanwhile, " + std::to_string(failed) + " failed";
}

std::string recipients_cell(const std::vector<std::string>& recipients) {
  constexpr std::size_t max_width = 40;
  std::string all;
  for (const auto& r : recipients) all += (all.empty() ? "" : ",") + r;
  if (recipients.size() <= 1 || display_width(all) <= max_width) return all;
  return recipients.front() + " +" + std::to_string(recipients.size() - 1);
}

}  // namespace mqctl
