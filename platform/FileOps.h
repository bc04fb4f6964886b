#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <system_error>

namespace vantrel {

struct CopyProgress {
    std::uint64_t files = 0;  // regular files and links finished
    std::uint64_t bytes = 0;  // bytes of file contents copied
};

// Outcome of a copy or delete: a partial failure is data, not an exception.
struct FileOpResult {
    std::filesystem::path failedPath;  // first path that failed; empty on success
    std::error_code error;             // the OS's reason

    bool ok() const { return !error; }
};

using ProgressFn = std::function<void(const CopyProgress&)>;

// Copies and deletes whole trees. One real implementation; tests may fake faults
// that real files cannot show on demand.
class FileOps {
public:
    virtual ~FileOps() = default;

    // Copies the file or folder `from` with everything in it to `to`, which must not exist.
    // Missing parent folders are made. Files keep contents, permission bits and modification
    // times; folders keep permission bits and modification times; symbolic links are copied
    // as links, never followed. Stops at the first failure.
    virtual FileOpResult copyTree(const std::filesystem::path& from,
                                  const std::filesystem::path& to, const ProgressFn& progress) = 0;

    // Removes the file, link or folder at `path` and everything in it, for good. Never
    // follows a link out of the folder. A missing path is success.
    virtual FileOpResult removeTree(const std::filesystem::path& path) = 0;

    // Renames `from` to `to`; an existing file at `to` is replaced.
    virtual FileOpResult rename(const std::filesystem::path& from,
                                const std::filesystem::path& to) = 0;
};

class RealFileOps final : public FileOps {
public:
    FileOpResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                          const ProgressFn& progress) override;
    FileOpResult removeTree(const std::filesystem::path& path) override;
    FileOpResult rename(const std::filesystem::path& from,
                        const std::filesystem::path& to) override;
};

}  // namespace vantrel
