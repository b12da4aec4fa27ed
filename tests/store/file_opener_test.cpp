#include "store/file_opener.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <thread>

#include "store_support.h"

namespace mq::store {
namespace {

using namespace mq::store::test;

const char* const on_thread = "Message files are opened on a thread: io_uring is not available (";

struct opened_t {
  std::optional<shared_file_t> file;
  std::string error;
  bool done = false;
};

class file_opener_test : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    fs::create_directory(queue);
    opener.emplace(io, queue, GetParam());
  }
  opened_t& open(const std::string& name) {
    auto& o = outcomes.emplace_back();
    opener->open(name, [&o](mq::util::result_t<shared_file_t> r) {
      o.done = true;
      if (auto error = mq::util::error_of(r)) return void(o.error = text_of(error));
      o.file.emplace(std::move(boost::get<shared_file_t>(r)));
    });
    return o;
  }

  temp_dir_t tmp;
  const fs::path queue = tmp / "queue";
  boost::asio::io_context io;
  std::optional<file_opener_t> opener;
  std::deque<opened_t> outcomes;
};

TEST_P(file_opener_test, opens_regular_files_only_read_only_blocking_close_on_exec_with_their_size) {
  EXPECT_EQ(opener->description().rfind(on_thread, 0) == 0, GetParam()) << opener->description();
  write_file((queue / "m.eml").string(), "01234567890123");
  write_file(tmp.file("secret"), "s");
  fs::create_symlink(tmp / "secret", queue / "link.eml");
  ASSERT_EQ(::mkfifo((queue / "pipe.eml").c_str(), 0600), 0);
  opened_t& good = open("m.eml");
  // Names from the database never lead out of the directory, nor to a pipe.
  const std::string refused[][2] = {{"../secret", "Invalid argument"},
                                    {"link.eml", "Too many levels of symbolic links"},
                                    {"pipe.eml", "Invalid argument"},
                                    {"gone.eml", "No such file or directory"}};
  std::vector<opened_t*> bad;
  for (const auto& row : refused) bad.push_back(&open(row[0]));
  // The threads finish in any order.
  ASSERT_TRUE(run_until(
      io, [&] { return std::all_of(outcomes.begin(), outcomes.end(), [](const opened_t& o) { return o.done; }); }));
  ASSERT_TRUE(good.file) << good.error;
  // Size, content, close-on-exec, access mode and blocking.
  EXPECT_EQ((std::tuple{good.file->size, read_fd(good.file->fd), ::fcntl(good.file->fd, F_GETFD) & FD_CLOEXEC,
                        ::fcntl(good.file->fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK)}),
            (std::tuple{14u, "01234567890123", FD_CLOEXEC, O_RDONLY}));
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_FALSE(bad[i]->file) << refused[i][0];
    EXPECT_NE(bad[i]->error.find(refused[i][1]), std::string::npos) << refused[i][0] << ": " << bad[i]->error;
  }
}

INSTANTIATE_TEST_SUITE_P(io_uring_or_threads, file_opener_test, ::testing::Values(false, true));

// A sandbox that refuses io_uring_setup with EPERM (as systemd's
// @system-service filter does) leaves the threads, and says why.
TEST(file_opener, falls_back_to_threads_where_io_uring_is_refused) {
  temp_dir_t tmp;
  write_file(tmp.file("m.eml"), "m");
  boost::asio::io_context io;
  std::optional<file_opener_t> opener;
  std::thread([&] {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    // This thread only: the filter is not synchronised to the others.
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
    opener.emplace(io, tmp.path(), false);
  }).join();
  ASSERT_TRUE(opener);
  EXPECT_EQ(opener->description(), std::string(on_thread) + "Operation not permitted)");
  bool opened = false;
  opener->open("m.eml", [&](mq::util::result_t<shared_file_t> r) { opened = mq::util::has_value(r); });
  ASSERT_TRUE(run_until(io, [&] { return opened; }));
}

}  // namespace
}  // namespace mq::store
