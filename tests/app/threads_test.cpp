// The threads of a running daemon against the design page: each is named
// for a row of its thread table, so a thread started anywhere else, or a
// row renamed, fails here.
#include <dirent.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/process.h"

namespace {

using namespace mq::test;

// The `names` in the first column of the thread table.
std::set<std::string> documented_threads() {
  std::ifstream page(MQ_SOURCE_DIR "/ARCHITECTURE.md");
  std::set<std::string> names;
  bool table = false;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind("## ", 0) == 0) table = line == "## Threads of the daemon";
    if (!table || line.rfind("| ", 0) != 0) continue;
    const std::string first = line.substr(0, line.find(" |", 1));
    static const std::regex name("`([a-z-]+)`");
    for (std::sregex_iterator i(first.begin(), first.end(), name), end; i != end; ++i) names.insert((*i)[1]);
  }
  return names;
}

std::string comm_of(const std::string& task) {
  std::ifstream in(task + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

TEST(threads, every_thread_of_the_daemon_is_a_row_of_the_design_page) {
  const auto documented = documented_threads();
  ASSERT_GE(documented.size(), 5u);
  running_quarantine_t q;
  sorter_peer_t sorter(q.sorter_socket());
  mq::Entry large;  // read on a large thread
  for (int i = 0; i < 300; ++i) large.add_smtp_recipient()->set_recipient("r" + std::to_string(i) + "@example.org");
  const auto id = sorter.put("message", mq::SMTP_FRESH, large);
  mq::util::unique_fd_t file;
  sorter.call(entry_request(sorter_peer_t::request_t::GET_ENTRY_REQUEST, id), -1, &file);
  EXPECT_EQ(read_fd(file.get()), "message");

  const std::string tasks = "/proc/" + std::to_string(q.daemon().pid()) + "/task";
  std::set<std::string> seen;
  DIR* dir = ::opendir(tasks.c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* d = ::readdir(dir)) {
    const std::string tid = d->d_name;
    if (tid == "." || tid == ".." || tid == std::to_string(q.daemon().pid())) continue;  // the event loop
    std::string name = comm_of(tasks + "/" + tid);
    if (name.rfind("iou-wrk-", 0) == 0) name = "iou-wrk";  // io_uring's, one per open at a time
    seen.insert(name);
    EXPECT_TRUE(documented.count(name)) << "thread " << tid << " \"" << name << "\" is in no row of the thread table";
  }
  ::closedir(dir);
  for (const char* always : {"mq-writer", "mq-files", "mq-reader", "mq-large"})
    EXPECT_TRUE(seen.count(always)) << always;
}

}  // namespace
