#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "platform/FileOps.h"

namespace vantrel::posix {

// Told of each chunk of file contents moved, and asked between chunks whether to stop.
class DataCopyObserver {
public:
    virtual bool cancelled() const = 0;
    // `bytes` more were moved; `bigFile`: the file takes more than one chunk.
    virtual void moved(std::uint64_t bytes, bool bigFile) = 0;

protected:
    ~DataCopyObserver() = default;
};

// The bytes a regular file holds: its size, or for a file with holes the bytes of its data
// ranges, which is what a copy moves. `dirFd` and `name` lead to the file (AT_FDCWD and a path
// alike), opened only when `st` shows fewer blocks than the size needs.
std::uint64_t heldBytes(int dirFd, const char* name, const struct stat& st);

// Moves the contents of one file into another, keeping holes. With CopyMethod::Auto it tries
// the kernel's copy_file_range, then sendfile, then plain read and write, each falling to the
// next where the file systems refuse it, and keeps the way that worked for the files after.
// One per thread.
class DataCopy {
public:
    explicit DataCopy(CopyMethod method) : m_method(method), m_how(method) {}

    // Copies the contents of `in` (described by `st`) to `out`. Returns an errno value, 0 on
    // success, ECANCELED when cancelled. With `digest` (started by the caller), each chunk is
    // hashed from `out` (opened for reading too) right after it was written, while its pages
    // are still cached, holes as zeros; hashed() then says whether every byte got there.
    int copy(int in, int out, const struct stat& st, DataCopyObserver& observer,
             ContentDigest* digest = nullptr);
    bool hashed() const { return m_digest != nullptr; }

private:
    int copyRange(int in, int out, off_t offset, off_t length, off_t fileSize,
                  DataCopyObserver& observer);
    bool fallBack(int err);
    ssize_t bufferCopy(int in, int out, off_t offset, size_t want);
    void hashWritten(int out, off_t offset, size_t length, bool inBuffer);

    ContentDigest* m_digest = nullptr;  // while copying a file that is hashed; null if failed
    off_t m_hashedTo = 0;               // the bytes given to m_digest so far

    const CopyMethod m_method;
    CopyMethod m_how;  // the way in use; Auto degrades as file systems refuse
    std::vector<char> m_buffer;
};

}  // namespace vantrel::posix
