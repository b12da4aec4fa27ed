// Power cuts replayed from a recording of the spool's disk: the daemon runs
// a storm on a file system whose block device the recorder serves; then, for
// flushes spread over the storm, the disk a power cut just before the next
// flush could leave is rebuilt, repaired and mounted as after a reboot, and
// everything acknowledged before that moment must be on it.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

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

// A fault of the harness itself: reported as such, never as a loss.
struct harness_error_t : std::runtime_error {
  using std::runtime_error::runtime_error;
};

mq::test::program_result_t shell(const std::string& command) {
  try {
    return mq::test::run_program({"/bin/sh", {"-c", command}});
  } catch (const std::runtime_error& e) {  // did not end in time
    throw harness_error_t(command + ": " + e.what());
  }
}

std::string sh(const std::string& command) {
  const auto r = shell(command);
  if (r.status != 0) throw harness_error_t(command + ": " + r.out + r.err);
  return r.out.substr(0, r.out.find('\n'));
}

// A file system image on a loop device of its own, mounted at `dir`. Gone
// only when the device has let go of the file: a device still holding an
// earlier image's file system would write its state into the next one.
class attached_t {
 public:
  attached_t(const std::string& file, const std::string& dir) : file_(file), dir_(dir) {
    device_ = sh("losetup --find --show " + file);
    try {
      sh("mount " + device_ + " " + dir);
      mounted_ = true;
    } catch (const harness_error_t&) {
      mounted_ = shell("mountpoint -q " + dir).status == 0;  // a mount that ran out of time may yet be there
      release();
      throw;
    }
  }
  attached_t(const attached_t&) = delete;
  attached_t& operator=(const attached_t&) = delete;
  ~attached_t() {
    try {
      if (mounted_ || !device_.empty()) release();
    } catch (const std::exception& e) {
      std::cerr << "harness fault: " << e.what() << std::endl;
    }
  }
  void release() {
    if (std::exchange(mounted_, false)) sh("umount " + dir_);
    if (shell("mountpoint -q " + dir_).status == 0) throw harness_error_t(dir_ + " still mounted");
    if (!device_.empty()) sh("losetup -d " + std::exchange(device_, {}));
    if (!mq::test::eventually([&] { return shell("losetup -j " + file_).out.empty(); }))
      throw harness_error_t(file_ + " still on a loop device");
  }

 private:
  std::string file_, dir_, device_;
  bool mounted_ = false;
};

// Watches the log from a process other than the daemon's and counts its
// restarts. Holding, it is also a reader: each time the log has started over
// (the first time after a passive checkpoint at 1,000 pages) it takes a
// snapshot and keeps it until the log holds 4,000 pages, letting go within
// the writer's 2 s wait: the log grows to its limit and starts over.
class log_watch_t {
 public:
  log_watch_t(const std::string& db, bool hold) : thread_([this, db, hold] { run(db, hold); }) {}
  ~log_watch_t() { finish(); }
  // Empty, or what went wrong.
  std::string finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return error;
  }
  std::atomic<int> restarts{0}, released{0};

 private:
  void run(const std::string& path, bool hold) {
    sqlite3* db = nullptr;
    const int shm = ::open((path + "-shm").c_str(), O_RDONLY | O_CLOEXEC);
    bool holding = false, armed = false;
    const auto exec = [&](const char* sql) {
      if (error.empty() && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) error = sqlite3_errmsg(db);
    };
    if (shm < 0 || sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      error = "cannot open " + path;
    sqlite3_busy_timeout(db, 1000);
    // The log's last valid frame, from the header of its index.
    for (std::uint32_t frames = 0, last = 0; !stop_ && error.empty(); last = frames) {
      if (::pread(shm, &frames, sizeof frames, 16) != sizeof frames) error = "cannot read the log's index";
      if (frames < last) ++restarts, armed = hold;
      if (armed && !holding && frames < 1000) exec("BEGIN; SELECT count(*) FROM entry;"), holding = true;
      if (holding && frames >= 4000) exec("COMMIT;"), ++released, holding = armed = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (holding) exec("COMMIT;");
    sqlite3_close(db);
    if (shm >= 0) ::close(shm);
  }
  std::string error;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

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

struct op_t {
  powerloss_record_t r;
  const char* data;
};

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

// Where the log starts over: a block of the disk that gets a log header
// (magic, version 3007000) with a salt other than the last one seen.
std::vector<std::size_t> log_restarts(const std::vector<op_t>& ops, std::int64_t begin, std::int64_t end) {
  std::vector<std::size_t> restarts;
  std::string salt;
  const auto be32 = [](const unsigned char* p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const auto& r = ops[i].r;
    if (r.kind != powerloss_write) continue;
    for (std::size_t at = (4096 - r.offset % 4096) % 4096; at + 32 <= r.size; at += 4096) {
      const auto* b = reinterpret_cast<const unsigned char*>(ops[i].data) + at;
      if ((be32(b) & ~1u) != 0x377f0682 || be32(b + 4) != 3007000) continue;
      const std::string now(reinterpret_cast<const char*>(b) + 16, 8);
      if (!salt.empty() && now != salt && r.ns > begin && r.ns < end) restarts.push_back(i);
      salt = now;
    }
  }
  return restarts;
}

class powerloss : public ::testing::TestWithParam<fs_row_t> {};

TEST_P(powerloss, nothing_acknowledged_is_lost) {
  const fs_row_t& fs = GetParam();
  if (const std::string why = why_not(fs); !why.empty()) GTEST_SKIP() << why;
  const int points = env_int("MQ_POWERLOSS_POINTS", 16), operations = env_int("MQ_POWERLOSS_OPERATIONS", 400);
  // With it the log grows to its limit before it starts over.
  const bool hold = env_int("MQ_POWERLOSS_HOLD", 0) != 0;
  const int min_restarts = env_int("MQ_POWERLOSS_RESTARTS", 1);
  const std::string plant = std::getenv("MQ_POWERLOSS_PLANT") ? std::getenv("MQ_POWERLOSS_PLANT") : "";
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
  int released = 0;
  {
#ifdef POWERLOSS_RECORDER_PATH
    sh(std::string(POWERLOSS_RECORDER_PATH) + " " + image + " " + log + " " + dir.file("disk"));
#endif
    struct served_t {
      std::string dir;
      ~served_t() {
        if (!dir.empty()) shell("umount " + dir);
      }
    } served{dir.file("disk")};
    attached_t disk(dir.file("disk") + "/disk", mnt);
    {
      std::unique_ptr<mq::test::running_quarantine_t> quarantine;
      {
#ifdef POWERLOSS_PLANT_PATH
        mq::test::env_var_t preload("LD_PRELOAD", plant.empty() ? nullptr : POWERLOSS_PLANT_PATH);
#endif
        quarantine = std::make_unique<mq::test::running_quarantine_t>(spool_on);
      }
      // The daemon tells when its file system cannot keep a commit through a power cut.
      EXPECT_EQ(fs.journal ? 0u : 1u, quarantine->daemon().count_log("ext4 without a journal"))
          << quarantine->daemon().output();
      log_watch_t watch(mnt + "/spool/queue.db", hold);
      begin = storm_t::now_ns();
      // First one request at a time: groups of one file, each synced on its own.
      storms[0] = std::make_unique<storm_t>(quarantine->sorter_socket(), storm_t::mixed, 1, 1);
      storms[0]->run(operations / 6);
      storms[1] = std::make_unique<storm_t>(quarantine->sorter_socket(), storm_t::mixed);
      storms[1]->run(operations);
      // Until the log has started over as often as asked, and a little beyond.
      for (int more = 0; watch.restarts < min_restarts && more < 4 * operations; more += 100) storms[1]->run(100);
      storms[1]->run(operations / 6);
      end = storm_t::now_ns();
      EXPECT_EQ("", watch.finish()) << "the log's watch";
      released = watch.released;
    }  // the power goes: the daemon is killed
    disk.release();
    sh("umount " + std::exchange(served.dir, ""));
  }

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
  // Crash points: spread evenly, and the two flushes either side of every
  // restart of the log (a checkpoint's copy must be durable before the log
  // overwrites its start).
  const std::vector<std::size_t> restarts = log_restarts(ops, begin, end);
  std::map<std::ptrdiff_t, bool> chosen;  // index in flushes: beside a restart
  const std::size_t n = std::min<std::size_t>(points, flushes.size() - 1);
  for (std::size_t p = 0; p < n; ++p) chosen[static_cast<std::ptrdiff_t>(p * (flushes.size() - 1) / n)] = false;
  for (const std::size_t r : restarts) {
    const auto after = std::lower_bound(flushes.begin(), flushes.end(), r) - flushes.begin();
    for (auto f = after - 2; f <= after + 1; ++f)
      if (f >= 0 && f + 1 < static_cast<std::ptrdiff_t>(flushes.size())) chosen[f] = true;
  }

  const int base_fd = ::open(base.c_str(), O_RDWR | O_CLOEXEC);  // grows into the disk before each crash point
  ASSERT_GE(base_fd, 0);
  std::mt19937 random(7);
  std::size_t applied = 0;
  int images = 0, losing = 0, logged = 0, beside = 0, harness_faults = 0, checked = 0;
  // One crash image in a file of its own, checked and removed: what it lost.
  const auto examine = [&](std::size_t at, std::size_t next, const std::vector<bool>& writes,
                           const outcomes_t& outcomes, bool start_daemon) {
    const std::string file = dir.file("crash-" + std::to_string(++checked));
    const int fd = copy_image(base_fd, file);
    for (std::size_t i = at + 1; i < next; ++i)
      if (writes[i - at - 1]) apply(fd, ops[i]);
    ::close(fd);
    if (!fs.journal) shell("e2fsck -fy " + file);  // as at boot: whatever it repairs
    attached_t attached(file, mnt);
    // Commits still in the log, not yet copied into queue.db: the open
    // below must find them there.
    std::error_code no_log;
    const bool in_log = std::filesystem::file_size(mnt + "/spool/queue.db-wal", no_log) > 0 && !no_log;
    std::string lost = check_spool(mnt + "/spool", outcomes);
    if (lost.empty() && start_daemon) {  // the daemon starts and repairs, taking nothing acknowledged
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
    attached.release();
    std::filesystem::remove(file);
    return std::make_pair(lost, in_log);
  };
  try {
    for (const auto& [f, beside_restart] : chosen) {
      const std::size_t at = flushes[static_cast<std::size_t>(f)];
      std::size_t next = at + 1;
      while (next < ops.size() && ops[next].r.kind != powerloss_flush) ++next;
      for (; applied <= at; ++applied) apply(base_fd, ops[applied]);
      auto outcomes = storms[0]->outcomes(ops[next].r.ns);  // the power goes just before that flush completes
      for (const auto& o : storms[1]->outcomes(ops[next].r.ns)) outcomes.push_back(o);
      for (int variant = 0; variant < 3; ++variant) {  // none, all, a random part of the writes in between
        std::vector<bool> writes(next - at - 1, variant == 1);
        if (variant == 2) std::generate(writes.begin(), writes.end(), [&] { return random() % 2 == 1; });
        const bool start_daemon = variant == 1 && images % 18 == 1;
        const auto [lost, in_log] = examine(at, next, writes, outcomes, start_daemon);
        ++images, beside += beside_restart, logged += in_log;
        if (lost.empty()) continue;
        // A loss counts only if a fresh copy of the same image loses the same.
        const std::string where = "crash point " + std::to_string(f) + " variant " + std::to_string(variant) + ": ";
        if (const std::string again = examine(at, next, writes, outcomes, start_daemon).first; again != lost) {
          ++harness_faults;
          ADD_FAILURE() << "harness fault (not a loss): " << where << "first " << lost << "then " << again;
          continue;
        }
        ++losing;
        if (fs.journal && plant.empty())
          ADD_FAILURE() << where << lost;
        else
          std::cout << where << lost << "\n";
      }
    }
  } catch (const harness_error_t& e) {
    ++harness_faults;
    ADD_FAILURE() << "harness fault (not a loss): " << e.what();
  }
  ::close(base_fd);
  long acknowledged = 0;
  for (const auto& storm : storms)
    for (const auto& e : storm->events) acknowledged += e.acked_ns < end;
  std::cout << "powerloss " << fs.name << (plant.empty() ? "" : " planted " + plant) << ": acknowledged operations "
            << acknowledged << ", flushes " << flushes.size() << ", log restarts " << restarts.size() << " ("
            << released << " after a held snapshot), crash images checked " << images << " (" << logged
            << " with commits in the log, " << beside << " beside a restart)"
            << ", images that lose something " << losing << ", harness faults " << harness_faults << std::endl;
  EXPECT_GT(logged, 0) << "no crash point fell while the log held commits";
  EXPECT_GE(static_cast<int>(restarts.size()), min_restarts) << "too few restarts of the log";
  EXPECT_TRUE(plant.empty() || !fs.journal || losing > 0) << "the planted " << plant << " lost nothing";
}

INSTANTIATE_TEST_SUITE_P(file_systems, powerloss, ::testing::ValuesIn(file_systems),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
