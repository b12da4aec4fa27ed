// Power cuts replayed from a recording of the spool's disk: the daemon runs
// a storm on a file system whose block device the recorder serves; then, for
// flushes spread over the storm, the disk a power cut just before the next
// flush could leave is rebuilt, repaired and mounted as after a reboot, and
// everything acknowledged before that moment must be on it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "record.h"
#include "store/store_support.h"
#include "support/process.h"
#include "support/storm.h"

namespace {

using mq::test::storm_t;
using outcomes_t = decltype(std::declval<storm_t>().outcomes(0));

struct fs_row_t {
  const char* name;
  const char* mkfs;
  bool journal;  // without: repaired by e2fsck, and the daemon warns
};
void PrintTo(const fs_row_t& row, std::ostream* os) { *os << row.name; }

const fs_row_t file_systems[] = {
    {"ext4", "mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0", true},
    {"ext4_without_journal", "mkfs.ext4 -q -F -b 4096 -O ^has_journal -E lazy_itable_init=0", false},
    {"xfs", "mkfs.xfs -q -f", true},
    {"btrfs", "mkfs.btrfs -q -f", true},
};

int env_int(const char* name, int fallback) { return std::getenv(name) ? std::atoi(std::getenv(name)) : fallback; }

mq::test::program_result_t shell(const std::string& command) {
  return mq::test::run_program({"/bin/sh", {"-c", command}});
}

std::string sh(const std::string& command) {
  const auto r = shell(command);
  if (r.status != 0) throw std::runtime_error(command + ": " + r.out + r.err);
  return r.out.substr(0, r.out.find('\n'));
}

// What was mounted or attached goes, latest first, however the scope ends.
struct undo_t {
  std::vector<std::string> steps;
  ~undo_t() {
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) shell(*it);
  }
};

// On a loop device of its own, which goes with the unmount.
void mount_image(const std::string& image, const std::string& dir, undo_t& undo) {
  sh("mount -o loop " + image + " " + dir);
  undo.steps.push_back("umount " + dir);
}

// Only the data of `from`, the holes stay holes.
int copy_image(int from, const std::string& to) {
  const int fd = ::open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const off_t size = ::lseek(from, 0, SEEK_END);
  if (fd < 0 || ::ftruncate(fd, size) != 0) mq::test::throw_errno(to);
  for (off_t data = ::lseek(from, 0, SEEK_DATA); data >= 0 && data < size;) {
    const off_t hole = ::lseek(from, data, SEEK_HOLE);
    for (off_t in = data; data < hole;)  // both offsets move on with each call
      if (::copy_file_range(from, &in, fd, &data, static_cast<std::size_t>(hole - data), 0) <= 0)
        mq::test::throw_errno("copy_file_range");
    data = ::lseek(from, hole, SEEK_DATA);
  }
  return fd;
}

std::string why_not(const fs_row_t& fs) {
#ifndef POWERLOSS_RECORDER_PATH
  return "needs libfuse3-dev for the disk recorder";
#endif
  if (::getuid() != 0) return "needs root for loop devices and mounts";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
  const std::string mkfs(fs.mkfs, std::strchr(fs.mkfs, ' '));
  if (shell("command -v " + mkfs).status != 0) return "needs " + mkfs;
  if (shell("losetup -f").status != 0) return "needs a free loop device";
  return {};
}

// What a power cut lost in `spool`: empty when nothing.
std::string check_spool(const std::string& spool, const outcomes_t& outcomes) {
  const std::string db = spool + "/queue.db";
  std::map<std::uint64_t, std::string> names;
  try {
    // The first read replays the write-ahead log, as the daemon's open does.
    if (const auto integrity = mq::store::test::sql(db, "PRAGMA integrity_check;"); integrity.at(0) != "ok")
      return "queue.db: " + integrity.at(0);
    for (const auto& row : mq::store::test::sql(db, "SELECT id, message_filename FROM entry;"))
      names[std::stoull(row)] = row.substr(row.find('|') + 1);
  } catch (const std::exception& e) {
    return std::string("queue.db: ") + e.what();
  }
  std::ostringstream lost;
  for (const auto& [id, name] : names)
    if (!std::filesystem::exists(spool + "/queue/" + name)) lost << "entry " << id << " names a missing file; ";
  for (const auto& [id, allowed] : outcomes) {
    const auto it = names.find(id);
    const std::string path = spool + "/queue/" + (it == names.end() ? "" : it->second);
    const std::string held = it == names.end() || !std::filesystem::exists(path) ? "" : mq::test::read_file(path);
    if (std::find(allowed.begin(), allowed.end(), held) == allowed.end())
      lost << "entry " << id << (held.empty() ? " gone" : " holds " + std::to_string(held.size()) + " other bytes")
           << (allowed.front().empty() ? " though removed" : " though acknowledged") << "; ";
  }
  return lost.str();
}

class powerloss : public ::testing::TestWithParam<fs_row_t> {};

TEST_P(powerloss, nothing_acknowledged_is_lost) {
  const fs_row_t& fs = GetParam();
  if (const std::string why = why_not(fs); !why.empty()) GTEST_SKIP() << why;
  const int points = env_int("MQ_POWERLOSS_POINTS", 24), operations = env_int("MQ_POWERLOSS_OPERATIONS", 300);
  // Images in memory by default: a flush of a crash image's loop device costs nothing.
  const char* parent = std::getenv("MQ_POWERLOSS_DIR");
  mq::test::env_var_t tmpdir("TMPDIR", parent                                      ? parent
                                       : std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                                   : std::getenv("TMPDIR"));
  mq::test::temp_dir_t dir;
  const std::string image = dir.file("image"), base = dir.file("base"), log = dir.file("log"), mnt = dir.file("mnt");
  std::filesystem::create_directories(mnt);
  std::filesystem::create_directories(dir.file("disk"));
  sh("truncate -s 320M " + image + " && " + fs.mkfs + " " + image + " && cp " + image + " " + base);
  const auto spool_on = [&](auto& config, auto&) { config.set_spool_dir(mnt + "/spool"); };

  std::unique_ptr<storm_t> storms[2];
  std::int64_t begin = 0, end = 0;
  {
    undo_t undo;
#ifdef POWERLOSS_RECORDER_PATH
    sh(std::string(POWERLOSS_RECORDER_PATH) + " " + image + " " + log + " " + dir.file("disk"));
#endif
    undo.steps.push_back("umount -l " + dir.file("disk"));  // whenever its loop device lets go
    mount_image(dir.file("disk") + "/disk", mnt, undo);
    mq::test::running_quarantine_t quarantine(spool_on);
    // The daemon tells when its file system cannot keep a commit through a power cut.
    EXPECT_EQ(fs.journal ? 0u : 1u, quarantine.daemon().count_log("ext4 without a journal"))
        << quarantine.daemon().output();
    begin = storm_t::now_ns();
    // First one request at a time: groups of one file, each synced on its own.
    storms[0] = std::make_unique<storm_t>(quarantine.sorter_socket(), storm_t::mixed, 1, 1);
    storms[0]->run(operations / 6);
    storms[1] = std::make_unique<storm_t>(quarantine.sorter_socket(), storm_t::mixed);
    storms[1]->run(operations);
    end = storm_t::now_ns();
  }  // the power goes: the daemon is killed

  struct op_t {
    powerloss_record_t r;
    const char* data;
  };
  const std::string bytes = mq::test::read_file(log);
  std::vector<op_t> ops;
  std::vector<std::size_t> flushes;  // those amid the storm
  for (std::size_t at = 0; at + sizeof(powerloss_record_t) <= bytes.size();) {
    op_t op{{}, bytes.data() + at + sizeof op.r};
    std::memcpy(&op.r, bytes.data() + at, sizeof op.r);
    at += sizeof op.r + op.r.size;
    if (op.r.kind == powerloss_flush && op.r.ns > begin && op.r.ns < end) flushes.push_back(ops.size());
    ops.push_back(op);
  }
  ASSERT_GT(flushes.size(), 1u);
  const auto apply = [&](int fd, const op_t& op) {
    if (op.r.kind == powerloss_write && ::pwrite(fd, op.data, op.r.size, static_cast<off_t>(op.r.offset)) != op.r.size)
      mq::test::throw_errno("pwrite");
  };

  const int base_fd = ::open(base.c_str(), O_RDWR | O_CLOEXEC);  // grows into the disk before each crash point
  ASSERT_GE(base_fd, 0);
  std::mt19937 random(7);
  std::size_t applied = 0;
  int images = 0, losing = 0, logged = 0;
  const std::size_t n = std::min<std::size_t>(points, flushes.size() - 1);
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t at = flushes[p * (flushes.size() - 1) / n];
    std::size_t next = at + 1;
    while (next < ops.size() && ops[next].r.kind != powerloss_flush) ++next;
    for (; applied <= at; ++applied) apply(base_fd, ops[applied]);
    auto outcomes = storms[0]->outcomes(ops[next].r.ns);  // the power goes just before that flush completes
    for (const auto& o : storms[1]->outcomes(ops[next].r.ns)) outcomes.push_back(o);
    for (int variant = 0; variant < 3; ++variant) {  // none, all, a random part of the writes in between
      const int fd = copy_image(base_fd, image);
      for (std::size_t i = at + 1; i < next; ++i)
        if (variant == 1 || (variant == 2 && random() % 2)) apply(fd, ops[i]);
      ::close(fd);
      if (!fs.journal) shell("e2fsck -fy " + image);  // as at boot: whatever it repairs
      undo_t undo;
      mount_image(image, mnt, undo);
      // Commits still in the log, not yet copied into queue.db: the open
      // below must find them there.
      std::error_code no_log;
      logged += std::filesystem::file_size(mnt + "/spool/queue.db-wal", no_log) > 0 && !no_log;
      std::string lost = check_spool(mnt + "/spool", outcomes);
      if (lost.empty() && variant == 1 && p % 6 == 0) {  // the daemon starts and repairs, taking nothing acknowledged
        try {
          mq::test::running_quarantine_t quarantine(spool_on);
          const auto health = mq::test::client_peer_t(quarantine.client_socket()).check(true);
          EXPECT_FALSE(health.has_error()) << health.ShortDebugString();
          EXPECT_EQ(107, quarantine.stop());
          lost = check_spool(mnt + "/spool", outcomes);
        } catch (const std::exception& e) {
          // Without a journal the repair may leave what the daemon refuses
          // to open (a journal with two links, say): a broken image.
          if (fs.journal) throw;
          lost = e.what();
        }
      }
      ++images;
      losing += !lost.empty();
      const std::string where = "crash point " + std::to_string(p) + " variant " + std::to_string(variant) + ": ";
      if (!lost.empty() && fs.journal) ADD_FAILURE() << where << lost;
      if (!lost.empty() && !fs.journal) std::cout << where << lost << "\n";
    }
  }
  ::close(base_fd);
  long acknowledged = 0;
  for (const auto& storm : storms)
    for (const auto& e : storm->events) acknowledged += e.acked_ns < end;
  std::cout << "powerloss " << fs.name << ": acknowledged operations " << acknowledged << ", flushes " << flushes.size()
            << ", crash images checked " << images << " (" << logged << " with commits in the log)"
            << ", images that lose something " << losing << std::endl;
  EXPECT_GT(logged, 0) << "no crash point fell while the log held commits";
}

INSTANTIATE_TEST_SUITE_P(file_systems, powerloss, ::testing::ValuesIn(file_systems),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
