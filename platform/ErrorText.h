#pragma once

#include <string>
#include <system_error>

namespace vantrel {

// The OS's reason for a failure, for the user: the common causes (no such file, no access,
// disk full, read-only, in use, name too long, too many links, I/O error, path not found) in
// the program's own Chinese followed by the system's code, e.g. "没有访问权限（系统代码 13）";
// any other reason in the system's own text.
std::string describeError(const std::error_code& error);

}  // namespace vantrel
