#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mq::web {

// The fields of a query string or of an application/x-www-form-urlencoded
// body, each name with its values in order.
class form_t {
 public:
  form_t() = default;
  explicit form_t(const std::string& encoded);

  // The first value of `name`, or "".
  std::string get(const std::string& name) const;
  bool has(const std::string& name) const { return fields_.count(name) != 0; }
  const std::vector<std::string>& all(const std::string& name) const;
  const std::map<std::string, std::vector<std::string>>& fields() const { return fields_; }

 private:
  std::map<std::string, std::vector<std::string>> fields_;
};

// The value of the cookie `name` in a Cookie header, if it is there.
std::optional<std::string> cookie_value(const std::string& header, const std::string& name);

}  // namespace mq::web
