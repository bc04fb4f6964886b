#pragma once

#include <string>
#include <system_error>

namespace vantrel {

// The OS's reason for a failure, for the user: the common causes (no such file, no access,
// disk full, read-only, in use, name too long, too many links, I/O error, path not found) in
// the program's own Chinese followed by the system's code, e.g. "没有访问权限（系统代码 13）";
// any other reason in the system's own text.
std::string describeError(const std::error_code& error);

// Whether the failure says the disk or the network place is not there now: a device not
// ready or not connected, a network path or name not found or gone, a network error or
// timeout, a failed network log-on. Such a target is treated as a disk not connected.
bool meansNotConnected(const std::error_code& error);

}  // namespace vantrel
