#pragma once

// A private temporary directory under /tmp, removed with its contents at the end.

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>

namespace mq::test {

class temp_dir_t {
 public:
  temp_dir_t() {
    char pattern[] = "/tmp/mq-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~temp_dir_t() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
  }
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace mq::test
