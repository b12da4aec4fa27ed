#include "web/escape.h"

#include "mqctl/text.h"

namespace mq::web {

namespace {

std::string entities(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string html(const std::string& untrusted) { return entities(mqctl::shown(untrusted)); }

std::string logged(const std::string& untrusted) {
  constexpr std::size_t kept = 200;
  if (untrusted.size() <= kept) return mqctl::shown(untrusted);
  std::size_t cut = kept;
  while (cut > 0 && (static_cast<unsigned char>(untrusted[cut]) & 0xc0) == 0x80) --cut;  // not inside a character
  return mqctl::shown(untrusted.substr(0, cut)) + "...(" + std::to_string(untrusted.size()) + " bytes)";
}

std::string html_lines(const std::string& untrusted) {
  std::string out;
  std::size_t at = 0;
  while (at <= untrusted.size()) {
    auto end = untrusted.find('\n', at);
    if (end == std::string::npos) end = untrusted.size();
    std::string line = untrusted.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (at) out += '\n';
    out += html(line);
    at = end + 1;
  }
  return out;
}

std::string url_component(const std::string& value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '.' ||
        u == '_' || u == '~') {
      out += c;
    } else {
      out += '%';
      out += digits[u >> 4];
      out += digits[u & 15];
    }
  }
  return out;
}

std::string url_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace mq::web
