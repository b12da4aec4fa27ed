#pragma once

#include <pthread.h>

#include <string>

namespace mq::util {

// Names the calling thread as the design page's thread table does, so that
// `ps -L`, `top -H` and a debugger show which one it is. Linux keeps 15
// characters.
inline void name_this_thread(const std::string& name) {
  if (!name.empty()) pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace mq::util
