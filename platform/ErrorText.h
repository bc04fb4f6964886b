#pragma once

#include <filesystem>
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

// Whether the error says that another program holds the file open, or has locked part of it.
bool isHeldByAnother(const std::error_code& error);

// Why the entry at `path` could not be copied: describeError, and for a file another program
// holds, what to close before the next backup, told by the file's extension where it can be,
// e.g. "文件正被其他程序使用（系统代码 33），请关闭 Outlook 后重新备份".
std::string describeNotCopied(const std::filesystem::path& path, const std::error_code& error);

// Why a write at `path` failed: describeError, and where access was denied inside a folder
// Windows' Controlled Folder Access protects, that it did, and which programs to allow.
std::string describeWriteError(const std::filesystem::path& path, const std::error_code& error);

}  // namespace vantrel
