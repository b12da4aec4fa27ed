#include "journal_log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace mq::overseer_tool {

namespace {
bool journal = false;
}

void use_journal(bool on) { journal = on; }

bool using_journal() { return journal; }

bool stderr_is_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st;
  unsigned long long dev = 0, ino = 0;
  if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || ::fstat(2, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino;
}

void log(level_t level, const std::string& text) {
  if (journal) {
    std::cerr << '<' << static_cast<int>(level) << ">mq-overseer: " << text << std::endl;
  } else {
    (level <= level_t::warning ? std::cerr : std::cout) << "mq-overseer: " << text << std::endl;
  }
}

}  // namespace mq::overseer_tool
