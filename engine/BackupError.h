#pragma once

#include <stdexcept>
#include <string>

namespace vantrel {

// An engine failure whose text (UTF-8) is what the user reads.
class BackupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Another run of the same working directory, or of the same dated path, holds its lock: the
// run was refused before it changed anything.
class BackupBusy : public BackupError {
public:
    BackupBusy() : BackupError("另一个备份正在进行中，请稍后再试！") {}
};

// The run was cancelled by its caller and left nothing behind.
class BackupCancelled : public BackupError {
public:
    BackupCancelled() : BackupError("文件备份已取消") {}
};

}  // namespace vantrel
