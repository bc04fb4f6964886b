#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "platform/FileOps.h"

namespace vantrel::test {

// Real file operations with faults that real files cannot show on demand: a copy that runs
// out of space after writing part of the tree, or a delete that the OS refuses.
class FaultyFileOps final : public FileOps {
public:
    // When set, copyTree copies for real and then reports this error at `<to>/<copyFailEntry>`,
    // as a disk that fills up or a source file that vanishes mid-copy does.
    std::error_code copyError;
    std::string copyFailEntry = "partly-written.bin";

    // removeTree fails with removeError for every path this returns true for.
    std::function<bool(const std::filesystem::path&)> removeFails;
    std::error_code removeError = std::make_error_code(std::errc::permission_denied);

    int copies = 0;

    FileOpResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                          const ProgressFn& progress) override {
        ++copies;
        auto result = m_real.copyTree(from, to, progress);
        if (result.ok() && copyError) {
            return {to / copyFailEntry, copyError};
        }
        return result;
    }

    FileOpResult removeTree(const std::filesystem::path& path) override {
        if (removeFails && removeFails(path)) {
            return {path, removeError};
        }
        return m_real.removeTree(path);
    }

    FileOpResult rename(const std::filesystem::path& from,
                        const std::filesystem::path& to) override {
        return m_real.rename(from, to);
    }

private:
    RealFileOps m_real;
};

}  // namespace vantrel::test
