#pragma once

#include <string>

#include "application.pb.h"

namespace ov {

// Describes the executable named by argv[0]: version, size, times, owner and
// the MD5 digest of its contents. Throws on any failure.
AppExeInfo make_app_exe_info(const std::string& version, int argc, char** argv);

// The same for an explicit path (relative paths are taken from the current
// working directory).
AppExeInfo make_app_exe_info(const std::string& version, const std::string& exe_path);

}  // namespace ov
