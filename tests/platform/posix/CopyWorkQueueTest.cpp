#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "tests/platform/posix/CopyTestSupport.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace test;

using CopyWorkQueueTest = CopyTest;

// Many folders, so that both threads of the copy take some: every entry arrives once, with
// its contents, mode and time; names of one file in folders copied at once stay one file;
// read-only folders get their mode only once their contents are in.
TEST_F(CopyWorkQueueTest, ManyFoldersCopiedAtOnceComeOutWhole) {
    const fs::path src = m_dir / "src";
    std::vector<std::string> expected;
    for (int d = 0; d < 24; ++d) {
        const std::string top = "d" + std::to_string(d);
        fs::create_directories(src / top / "inner");
        expected.push_back(top);
        expected.push_back(top + "/inner");
        for (int f = 0; f < 20; ++f) {
            const std::string name = top + (f % 2 ? "/inner/f" : "/f") + std::to_string(f);
            writeBytes(src / name, name);
            expected.push_back(name);
        }
    }
    for (int d = 0; d < 24; ++d) {
        const std::string top = "d" + std::to_string(d);
        const std::string twin = "d" + std::to_string((d + 12) % 24) + "/twin-of-" + top;
        fs::create_hard_link(src / top / "f0", src / twin);
        expected.push_back(twin);
    }
    for (int d = 0; d < 24; d += 3) {
        ASSERT_EQ(::chmod((src / ("d" + std::to_string(d))).c_str(), 0555), 0);
    }

    std::vector<std::string> seen;
    std::uint64_t lastFiles = 0;
    bool progressWentBack = false;
    CopyOptions options;
    std::mutex seenMutex;  // the copy's two threads report entries at once
    options.onEntry = [&](const CopiedEntry& e) {
        std::lock_guard lock(seenMutex);
        seen.push_back(e.relative.string());
    };
    const CopyResult r = m_ops.copyTree(src, m_dir / "dst", options, [&](const CopyProgress& p) {
        progressWentBack = progressWentBack || p.files < lastFiles;
        lastFiles = p.files;
    });
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_FALSE(progressWentBack);
    EXPECT_EQ(r.done.files, 24u * 21);
    expected.push_back("");
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);

    const fs::path dst = m_dir / "dst";
    for (int d = 0; d < 24; ++d) {
        const std::string top = "d" + std::to_string(d);
        EXPECT_EQ(readBytes(dst / top / "inner" / "f1"), top + "/inner/f1");
        EXPECT_EQ(statOf(dst / top / "f0").st_ino,
                  statOf(dst / ("d" + std::to_string((d + 12) % 24)) / ("twin-of-" + top)).st_ino)
            << top;
        const struct stat from = statOf(src / top), to = statOf(dst / top);
        EXPECT_EQ(to.st_mode, from.st_mode) << top;
        EXPECT_EQ(to.st_mtim.tv_sec, from.st_mtim.tv_sec) << top;
        EXPECT_EQ(to.st_mtim.tv_nsec, from.st_mtim.tv_nsec) << top;
    }
    for (int d = 0; d < 24; d += 3) {
        ::chmod((src / ("d" + std::to_string(d))).c_str(), 0755);
        ::chmod((dst / ("d" + std::to_string(d))).c_str(), 0755);
    }
}

// However the copy is spread over its threads, it ends with the first thing that stopped it:
// a full disk, the caller's cancel, or an exception from the caller's callback.
TEST_F(CopyWorkQueueTest, AnyStopEndsTheWholeCopyAtOnce) {
    const fs::path src = m_dir / "src";
    for (int d = 0; d < 16; ++d) {
        const fs::path folder = src / ("d" + std::to_string(d));
        fs::create_directories(folder);
        for (int f = 0; f < 8; ++f) {
            writeBytes(folder / ("f" + std::to_string(f)), pattern(64 << 10));
        }
    }

    std::atomic<bool> cancel{false};
    CopyOptions options;
    options.cancel = &cancel;
    int reports = 0;
    const CopyResult cancelled =
        m_ops.copyTree(src, m_dir / "cancelled", options, [&](const CopyProgress&) {
            if (++reports == 20) {
                cancel = true;
            }
        });
    EXPECT_EQ(cancelled.error, std::errc::operation_canceled) << describe(cancelled);
    EXPECT_LT(cancelled.done.files, 16u * 8);

    CopyOptions throwing;
    throwing.onEntry = [](const CopiedEntry& e) {
        if (e.relative == fs::path("d9") / "f3") {
            throw std::runtime_error("callback failed");
        }
    };
    EXPECT_THROW(m_ops.copyTree(src, m_dir / "thrown", throwing, {}), std::runtime_error);

    const fs::path small = m_dir / "small";
    fs::create_directory(small);
    if (::mount("vantrel-test", small.c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    CopyOptions skip;
    skip.skipFailedEntries = true;
    const CopyResult full = m_ops.copyTree(src, small / "dst", skip, {});
    ::umount(small.c_str());
    EXPECT_EQ(full.error, std::errc::no_space_on_device) << describe(full);
    EXPECT_TRUE(full.skipped.empty());
}

}  // namespace
}  // namespace vantrel
