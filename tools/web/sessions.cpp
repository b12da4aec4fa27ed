#include "web/sessions.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <boost/algorithm/hex.hpp>

namespace mq::web {

std::string sessions_t::random_token() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes");
  return boost::algorithm::hex_lower(std::string(std::begin(bytes), std::end(bytes)));
}

bool sessions_t::token_matches(const session_t& session, const std::string& given) {
  return given.size() == session.csrf.size() && CRYPTO_memcmp(given.data(), session.csrf.data(), given.size()) == 0;
}

std::string sessions_t::login_token(const std::string& cookie) const {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (!HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
            reinterpret_cast<const unsigned char*>(cookie.data()), cookie.size(), out, &size))
    throw std::runtime_error("HMAC failed");
  return boost::algorithm::hex_lower(std::string(out, out + size));
}

bool sessions_t::login_token_matches(const std::string& cookie, const std::string& given) const {
  if (cookie.empty()) return false;
  const std::string want = login_token(cookie);
  return given.size() == want.size() && CRYPTO_memcmp(given.data(), want.data(), want.size()) == 0;
}

std::string sessions_t::open(const std::string& user, const std::string& stamp) {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = sessions_.begin(); it != sessions_.end();) it = it->second.expires <= now ? sessions_.erase(it) : ++it;
  if (sessions_.size() >= max_) {
    const auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
      return a.second.expires < b.second.expires;
    });
    sessions_.erase(oldest);
  }
  std::string token = random_token();
  sessions_[token] = session_t{user, random_token(), stamp, now + lifetime_};
  return token;
}

const session_t* sessions_t::find(const std::string& token) {
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return nullptr;
  if (it->second.expires <= std::chrono::steady_clock::now()) {
    sessions_.erase(it);
    return nullptr;
  }
  return &it->second;
}

}  // namespace mq::web
