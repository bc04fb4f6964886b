#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>
#include <vector>

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
    // Entries below the source (relative paths) that cannot be copied, as an unreadable file:
    // left out and listed with skipFailedEntries, otherwise the copy fails at the first. Only
    // entries that exist below the tree copied count.
    std::vector<std::filesystem::path> unreadable;
    // Folders whose listing is refused, as an unreadable folder's is.
    std::vector<std::filesystem::path> unlistable;
    // exchange answers "not supported", as where the OS has no atomic swap.
    bool noExchange = false;
    // Called once the copy is written, before it returns (to cancel it, for instance).
    std::function<void()> afterCopy;
    int copies = 0;
    CopyOptions lastOptions;
    // When set, raised as a copy starts, as a user pressing cancel does.
    std::atomic<bool>* cancelOnCopy = nullptr;
    // When set, the free space every target reports.
    std::optional<std::uint64_t> freeSpace;
    // When set, what every folder tried for hard links answers; `probes` counts the tries.
    std::optional<LinkSupport> linkSupport;
    int probes = 0;

    CopyResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                        const CopyOptions& options, const ProgressFn& progress) override {
        ++copies;
        lastOptions = options;
        if (cancelOnCopy) {
            *cancelOnCopy = true;
        }
        auto result = m_real.copyTree(from, to, options, progress);
        for (const auto& entry : unreadable) {
            if (!result.ok()) {
                break;
            }
            std::error_code ec;
            if (!std::filesystem::exists(std::filesystem::symlink_status(from / entry, ec))) {
                continue;
            }
            std::filesystem::remove_all(to / entry, ec);
            const SkippedEntry skipped{from / entry,
                                       std::make_error_code(std::errc::permission_denied)};
            if (options.skipFailedEntries) {
                result.skipped.push_back(skipped);
            } else {
                result.failedPath = skipped.path;
                result.error = skipped.error;
            }
        }
        if (afterCopy) {
            afterCopy();
        }
        if (result.ok() && copyError) {
            result.failedPath = to / "partly-written.bin";
            result.error = copyError;
        }
        return result;
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
    FileOpResult exchange(const std::filesystem::path& a, const std::filesystem::path& b) override {
        return noExchange ? FileOpResult{a, std::make_error_code(std::errc::not_supported)}
                          : m_real.exchange(a, b);
    }
    FileOpResult syncFileSystem(const std::filesystem::path& path) override {
        return m_real.syncFileSystem(path);
    }
    FileOpResult syncFolder(const std::filesystem::path& folder) override {
        return m_real.syncFolder(folder);
    }
    FileOpResult measureTree(const std::filesystem::path& path, TreeSize& size,
                             const std::atomic<bool>* cancel,
                             const ExcludeFn& exclude = {}) override {
        return m_real.measureTree(path, size, cancel, exclude);
    }
    std::optional<EntryStat> stat(const std::filesystem::path& path, bool followLink) override {
        return m_real.stat(path, followLink);
    }
    std::optional<FileId> fileId(const std::filesystem::path& path) override {
        return m_real.fileId(path);
    }
    std::optional<std::filesystem::path> readLink(const std::filesystem::path& path) override {
        return m_real.readLink(path);
    }
    std::optional<std::filesystem::path> resolveLinks(const std::filesystem::path& path) override {
        return m_real.resolveLinks(path);
    }
    std::optional<bool> isEmptyFolder(const std::filesystem::path& path) override {
        return m_real.isEmptyFolder(path);
    }
    std::error_code listStats(const std::filesystem::path& folder,
                              std::vector<FolderEntry>& entries) override {
        if (std::find(unlistable.begin(), unlistable.end(), folder) != unlistable.end()) {
            return std::make_error_code(std::errc::permission_denied);
        }
        return m_real.listStats(folder, entries);
    }
    std::vector<std::filesystem::path> list(const std::filesystem::path& folder) override {
        return m_real.list(folder);
    }
    void walk(const std::filesystem::path& root, const Visit& visit,
              const ExcludeFn& exclude = {}) override {
        m_real.walk(root, visit, exclude);
    }
    std::optional<std::uint64_t> availableSpace(const std::filesystem::path& path) override {
        return freeSpace ? freeSpace : m_real.availableSpace(path);
    }
    FileOpResult createFolders(const std::filesystem::path& folder) override {
        return m_real.createFolders(folder);
    }
    LinkSupport probeLinks(const std::filesystem::path& folder,
                           const std::filesystem::path& probeName) override {
        ++probes;
        return linkSupport ? *linkSupport : m_real.probeLinks(folder, probeName);
    }

private:
    RealFileOps m_real;
};

}  // namespace vantrel::test
