#pragma once

#include <filesystem>
#include <system_error>

#include "platform/FileOps.h"

namespace vantrel::test {

// Real file operations with faults real files cannot show on demand.
class FaultyFileOps final : public FileOps {
public:
    // When set, copyTree copies for real, then fails with it at "<to>/partly-written.bin", as a
    // disk that fills up mid-copy does.
    std::error_code copyError;
    // removeTree of this path is refused.
    std::filesystem::path removeFailsAt;
    int copies = 0;

    FileOpResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                          const ProgressFn& progress) override {
        ++copies;
        auto result = m_real.copyTree(from, to, progress);
        return result.ok() && copyError ? FileOpResult{to / "partly-written.bin", copyError}
                                        : result;
    }
    FileOpResult removeTree(const std::filesystem::path& path) override {
        return path == removeFailsAt
                   ? FileOpResult{path, std::make_error_code(std::errc::permission_denied)}
                   : m_real.removeTree(path);
    }
    FileOpResult rename(const std::filesystem::path& from,
                        const std::filesystem::path& to) override {
        return m_real.rename(from, to);
    }

private:
    RealFileOps m_real;
};

}  // namespace vantrel::test
