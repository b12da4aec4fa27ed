#include "app/app_exe_info.h"

#include <cerrno>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include "ov/error.h"
#include "util/unique_fd.h"

namespace ov {

namespace {

boost::system::error_code errno_code(int value) {
  return boost::system::error_code(value, boost::system::system_category());
}

std::string md5_of_file(const std::string& path) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("Cannot start the digest");
  }
  const mq::util::unique_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw boost::system::system_error(errno_code(errno), "open");
  std::vector<unsigned char> block(8192);
  for (;;) {
    ssize_t n = ::read(fd.get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw boost::system::system_error(errno_code(errno), "read");
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(n)) != 1) {
      throw std::runtime_error("Cannot update the digest");
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1 || size != 16) {
    throw std::runtime_error("Cannot finish the digest");
  }
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string owner_of(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size == -1) size = 16384;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

}  // namespace

AppExeInfo make_app_exe_info(const std::string& version, int argc, char** argv) {
  if (argc < 1 || !argv || !argv[0]) throw std::runtime_error("Unknown exe path");
  const std::string exe_path = argv[0];
  namespace fs = boost::filesystem;
  const fs::path canonical = fs::canonical(exe_path, fs::current_path());
  struct stat st;
  if (::stat(canonical.c_str(), &st) != 0) throw fs::filesystem_error("stat", canonical, errno_code(errno));
  if (!S_ISREG(st.st_mode)) throw boost::system::system_error(make_error_code(EC_NOT_A_REGULAR_FILE));

  std::string md5;
  try {
    md5 = md5_of_file(exe_path);
  } catch (const std::exception& e) {
    std::ostringstream text;
    text << "MD5: " << exception_text(e) << ": " << fs::path(exe_path);
    throw cf_proto_exception_t(error_code_of(e), text.str());
  }

  AppExeInfo info;
  info.set_version(version);
  info.set_exe_md5(md5);
  info.set_install_time(static_cast<std::uint64_t>(st.st_ctime));
  info.set_modification_time(static_cast<std::uint64_t>(st.st_mtime));
  info.set_exe_size(static_cast<std::uint64_t>(st.st_size));
  info.set_exe_owner(owner_of(st.st_uid));
  return info;
}

}  // namespace ov
