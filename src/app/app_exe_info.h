#pragma once

#include <string>

#include "application.pb.h"

namespace ov {

// Describes the executable named by argv[0] (a relative path is taken from
// the current working directory): version, size, times, owner and the MD5
// digest of its contents. Throws on any failure.
AppExeInfo make_app_exe_info(const std::string& version, int argc, char** argv);

}  // namespace ov
