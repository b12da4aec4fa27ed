#include "web/users.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <boost/algorithm/hex.hpp>
#include <boost/algorithm/string/split.hpp>

namespace mq::web {

namespace {

// 16 MiB and some 50 ms a check: slow for a guesser, fine for a login.
constexpr std::uint64_t cost_n = 16384, cost_r = 8, cost_p = 1;
constexpr std::size_t hash_size = 32, salt_size = 16;

// Lower-case hex only, as entry() writes it.
bool unhex(const std::string& text, std::vector<unsigned char>& out) {
  if (text.size() % 2 || text.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
  out.clear();
  boost::algorithm::unhex(text, std::back_inserter(out));
  return true;
}

std::vector<unsigned char> scrypt(const std::string& password, const std::vector<unsigned char>& salt, std::uint64_t n,
                                  std::uint64_t r, std::uint64_t p) {
  std::vector<unsigned char> out(hash_size);
  if (EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), n, r, p, 64ull << 20, out.data(),
                     out.size()) != 1)
    throw std::runtime_error("scrypt failed");
  return out;
}

std::uint64_t number(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoull(text);
}

}  // namespace

std::string users_t::entry(const std::string& name, const std::string& password) {
  std::vector<unsigned char> salt(salt_size);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) throw std::runtime_error("no random bytes");
  const auto hash = scrypt(password, salt, cost_n, cost_r, cost_p);
  return name + ":scrypt:" + std::to_string(cost_n) + ":" + std::to_string(cost_r) + ":" + std::to_string(cost_p) +
         ":" + boost::algorithm::hex_lower(std::string(salt.begin(), salt.end())) + ":" +
         boost::algorithm::hex_lower(std::string(hash.begin(), hash.end()));
}

bool users_t::matches(const std::string& fields, const std::string& password) {
  std::vector<std::string> f;
  boost::algorithm::split(f, fields, [](char c) { return c == ':'; });
  std::vector<unsigned char> salt, hash;
  if (f.size() != 6 || f[0] != "scrypt" || !unhex(f[4], salt) || !unhex(f[5], hash) || hash.size() != hash_size)
    return false;
  const std::uint64_t n = number(f[1]), r = number(f[2]), p = number(f[3]);
  // Costs past these would let the file make a login take the machine.
  if (n < 2 || n > (1u << 20) || (n & (n - 1)) || r < 1 || r > 32 || p < 1 || p > 16) return false;
  const auto got = scrypt(password, salt, n, r, p);
  return CRYPTO_memcmp(got.data(), hash.data(), hash_size) == 0;
}

bool users_t::check(const std::string& name, const std::string& password, std::string* fields) const {
  std::ifstream in(path_);
  if (!in) throw std::runtime_error("cannot read " + path_ + ": " + std::strerror(errno));
  std::string line, found;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon != std::string::npos && line.compare(0, colon, name) == 0 && colon == name.size())
      found = line.substr(colon + 1);
  }
  if (found.empty()) {
    // As long as a real check, so that the time tells no names.
    (void)scrypt(password, std::vector<unsigned char>(salt_size), cost_n, cost_r, cost_p);
    return false;
  }
  if (!matches(found, password)) return false;
  if (fields) *fields = found;
  return true;
}

std::optional<std::string> users_t::current(const std::string& name) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    known_.clear();
    stamp_ = stamp_t{};
    return std::nullopt;
  }
  if (st.st_ino != stamp_.inode || st.st_size != stamp_.size || st.st_mtim.tv_sec != stamp_.changed.tv_sec ||
      st.st_mtim.tv_nsec != stamp_.changed.tv_nsec) {
    known_.clear();
    std::ifstream in(path_);
    std::string line;
    while (in && std::getline(in, line))
      if (const auto colon = line.find(':'); colon != std::string::npos)
        known_[line.substr(0, colon)] = line.substr(colon + 1);
    // Unreadable now, read again at the next look.
    stamp_ = in.bad() || !in.eof() ? stamp_t{} : stamp_t{st.st_ino, st.st_size, st.st_mtim};
  }
  const auto it = known_.find(name);
  if (it == known_.end()) return std::nullopt;
  return it->second;
}

void users_t::set(const std::string& name, const std::string& password) const {
  if (name.empty() || name.size() > 64) throw std::invalid_argument("a user name is 1 to 64 characters");
  for (const char c : name)
    if (c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      throw std::invalid_argument("a user name has no ':' and no control characters");
  std::ostringstream text;
  if (struct stat st{}; ::stat(path_.c_str(), &st) == 0) {
    std::ifstream in(path_);
    if (!in) throw std::runtime_error("cannot read " + path_ + ": " + std::strerror(errno));
    std::string line;
    while (std::getline(in, line))
      if (line.compare(0, name.size() + 1, name + ":") != 0) text << line << '\n';
  }
  text << entry(name, password) << '\n';
  replace(text.str());
}

bool users_t::remove(const std::string& name) const {
  std::ifstream in(path_);
  if (!in) throw std::runtime_error("cannot read " + path_ + ": " + std::strerror(errno));
  std::ostringstream text;
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + ":") == 0)
      found = true;
    else
      text << line << '\n';
  }
  if (found) replace(text.str());
  return found;
}

void users_t::replace(const std::string& data) const {
  struct stat st {};
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  const std::string temp = path_ + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
  bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  if (ok && exists) ok = ::fchown(fd, st.st_uid, st.st_gid) == 0 && ::fchmod(fd, st.st_mode & 07777) == 0;
  if (ok && !exists) ok = ::fchmod(fd, 0640) == 0;
  ok = ok && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    const int e = ok ? errno : saved;
    ::unlink(temp.c_str());
    throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(e));
  }
}

}  // namespace mq::web
