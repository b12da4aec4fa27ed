#pragma once

#include <string>

namespace mq::store {

// The file system under `dir_fd` when it is one that can lose or corrupt
// what was synced when the power goes (ext4 without a journal); else empty.
std::string power_cut_unsafe_fs(int dir_fd);

}  // namespace mq::store
