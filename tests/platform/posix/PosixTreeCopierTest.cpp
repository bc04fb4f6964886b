// What a copy keeps beyond contents, what it leaves out on its own, and how it stops.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "tests/platform/posix/CopyTestSupport.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace test;

using PosixTreeCopierTest = CopyTest;

TEST_F(PosixTreeCopierTest, FollowsALinkGivenAsSourceButCopiesLinksInsideAsLinks) {
    fs::create_directories(m_dir / "real" / "sub");
    writeBytes(m_dir / "real" / "sub" / "f.txt", "data");
    fs::create_symlink("sub/f.txt", m_dir / "real" / "inner");
    fs::create_directory_symlink(m_dir / "real", m_dir / "moved");
    fs::create_symlink(m_dir / "real" / "sub" / "f.txt", m_dir / "file-link");

    ASSERT_TRUE(m_ops.copyTree(m_dir / "moved", m_dir / "copy", {}, {}).ok());
    ASSERT_TRUE(m_ops.copyTree(m_dir / "file-link", m_dir / "copy.txt", {}, {}).ok());
    EXPECT_FALSE(fs::is_symlink(m_dir / "copy"));
    EXPECT_EQ(readBytes(m_dir / "copy" / "sub" / "f.txt"), "data");
    EXPECT_TRUE(fs::is_symlink(m_dir / "copy" / "inner"));
    EXPECT_FALSE(fs::is_symlink(m_dir / "copy.txt"));
    EXPECT_EQ(readBytes(m_dir / "copy.txt"), "data");

    TreeSize size;
    ASSERT_TRUE(m_ops.measureTree(m_dir / "moved", size).ok());
    EXPECT_EQ(size.folders, 2u);
    EXPECT_EQ(size.files, 2u);  // the file and the inner link, not what it names
    EXPECT_EQ(size.bytes, 4u);
}

// As nobody, on a tree nobody owns: entries that cannot be read or made are left out and
// listed; the copy goes on. Without the option the first one stops it; an unwritable target
// stops it either way.
TEST_F(PosixTreeCopierTest, LeavesOutEntriesThatFailOnTheirOwnAndGoesOn) {
    const fs::path src = m_dir / "src";
    fs::create_directories(src / "locked");
    fs::create_directories(src / "open" / "deeper");
    writeBytes(src / "locked" / "hidden.txt", "x");
    writeBytes(src / "secret.txt", "s");
    writeBytes(src / "open" / "deeper" / "kept.txt", "kept");
    writeBytes(src / "z.txt", "z");
    ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0644), 0);  // a special file nobody may make
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::mknod((src / "dev").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
        giveToNobody(m_dir.path());
    }
    ASSERT_EQ(::chmod((src / "secret.txt").c_str(), 0), 0);
    ASSERT_EQ(::chmod((src / "locked").c_str(), 0), 0);
    fs::create_directory(m_dir / "closed");
    if (root) {
        ASSERT_EQ(::chown((m_dir / "closed").c_str(), 0, 0), 0);  // not nobody's to write
    }
    ASSERT_EQ(::chmod((m_dir / "closed").c_str(), 0555), 0);

    const std::string report = inChild([&] {
        if (::geteuid() == 0 && !dropToNobody()) {
            return std::string("cannot drop to nobody");
        }
        RealFileOps ops;
        CopyOptions skip;
        skip.skipFailedEntries = true;
        const CopyResult r = ops.copyTree(src, m_dir / "dst", skip, {});
        std::ostringstream out;
        out << describe(r) << " files=" << r.done.files;
        std::vector<std::string> skipped;
        for (const SkippedEntry& e : r.skipped) {
            skipped.push_back(e.path.lexically_relative(src).string() + ":" +
                              std::to_string(e.error.value()));
        }
        std::sort(skipped.begin(), skipped.end());
        for (const std::string& s : skipped) {
            out << " " << s;
        }
        out << " kept=" << fs::exists(m_dir / "dst" / "open" / "deeper" / "kept.txt")
            << fs::exists(m_dir / "dst" / "z.txt") << fs::exists(m_dir / "dst" / "pipe")
            << fs::exists(m_dir / "dst" / "locked") << fs::exists(m_dir / "dst" / "secret.txt");
        const CopyResult strict = ops.copyTree(src, m_dir / "dst2", {}, {});
        out << " | strict " << strict.ok() << " " << strict.skipped.size();
        const CopyResult target = ops.copyTree(src, m_dir / "closed" / "dst", skip, {});
        out << " | target " << target.error.value() << " "
            << target.failedPath.lexically_relative(m_dir.path()).string();
        // The count leaves out what it may not read, and does not fail on it.
        TreeSize size;
        const FileOpResult measured = ops.measureTree(src, size);
        out << " | measured " << describe(measured) << " " << size.folders << " " << size.files;
        // Left out on purpose, the same entries are no failure: the unreadable folder is not
        // even opened, and neither the count nor the walk meets them.
        CopyOptions lean = skip;
        lean.exclude = [](const fs::path& rel, bool folder) {
            return (rel == "locked" && folder) || rel == "secret.txt" || rel == "dev";
        };
        const CopyResult leaner = ops.copyTree(src, m_dir / "dst3", lean, {});
        TreeSize leanSize;
        const FileOpResult leanCount = ops.measureTree(src, leanSize, nullptr, lean.exclude);
        int walked = 0;
        ops.walk(
            src, [&](const fs::path&, const EntryStat&) { ++walked; }, lean.exclude);
        out << " | excluded " << describe(leaner) << " " << leaner.skipped.size() << " "
            << leaner.done.files << " " << describe(leanCount) << " " << leanSize.files << " "
            << walked;
        return out.str();
    });
    const std::string device = root ? " dev:1" : "";
    EXPECT_EQ(report, "ok files=3" + device + " locked:13 secret.txt:13 kept=11100 | strict 0 0" +
                          " | target 13 closed/dst | measured ok 3 " + (root ? "5" : "4") +
                          " | excluded ok 0 3 ok 3 5");
}

TEST_F(PosixTreeCopierTest, AFullDiskStopsTheCopyEvenWhenEntriesMayBeLeftOut) {
    const fs::path small = m_dir / "small";
    fs::create_directory(small);
    if (::mount("vantrel-test", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    fs::create_directory(m_dir / "src");
    writeBytes(m_dir / "src" / "a.txt", "a");
    writeBytes(m_dir / "src" / "big.bin", pattern(size_t{3} << 20));
    CopyOptions skip;
    skip.skipFailedEntries = true;
    const CopyResult r = m_ops.copyTree(m_dir / "src", small / "dst", skip, {});
    ::umount(small.c_str());
    EXPECT_EQ(r.error, std::errc::no_space_on_device) << describe(r);
    EXPECT_TRUE(r.skipped.empty());
}

TEST_F(PosixTreeCopierTest, CancelStopsBetweenEntriesAndInsideABigFile) {
    fs::create_directory(m_dir / "src");
    writeBytes(m_dir / "src" / "big.bin", pattern(size_t{64} << 20));
    writeBytes(m_dir / "src" / "small.txt", "s");
    std::atomic<bool> cancel{false};
    CopyOptions options;
    options.cancel = &cancel;
    // Cancelled at the first progress report, which a big file gives after its first chunk.
    const CopyResult mid = m_ops.copyTree(m_dir / "src", m_dir / "dst", options,
                                          [&](const CopyProgress&) { cancel = true; });
    EXPECT_EQ(mid.error, std::errc::operation_canceled) << describe(mid);
    EXPECT_LT(mid.done.bytes, std::uint64_t{64} << 20);

    const CopyResult before = m_ops.copyTree(m_dir / "src", m_dir / "dst2", options, {});
    EXPECT_EQ(before.error, std::errc::operation_canceled);
    EXPECT_EQ(before.done.bytes, 0u);
    TreeSize size;
    EXPECT_EQ(m_ops.measureTree(m_dir / "src", size, &cancel).error, std::errc::operation_canceled);
}

TEST_F(PosixTreeCopierTest, KeepsHardLinksOwnersAndExtendedAttributes) {
    const fs::path src = m_dir / "src";
    fs::create_directories(src / "sub");
    writeBytes(src / "a", "linked");
    fs::create_hard_link(src / "a", src / "sub" / "b");
    fs::create_hard_link(src / "a", src / "c");
    writeBytes(src / "single", "one");
    fs::create_symlink("a", src / "ln");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((src / "single").c_str(), 1234, 5678), 0);
        ASSERT_EQ(::chown((src / "sub").c_str(), 4321, 8765), 0);
        ASSERT_EQ(::lchown((src / "ln").c_str(), 1111, 2222), 0);
    }
    const bool xattrs = ::setxattr((src / "single").c_str(), "user.vantrel", "v1", 2, 0) == 0 &&
                        ::setxattr((src / "sub").c_str(), "user.vantrel", "v2", 2, 0) == 0;

    const CopyResult r = m_ops.copyTree(src, m_dir / "dst", {}, {});
    ASSERT_TRUE(r.ok()) << describe(r);
    const fs::path dst = m_dir / "dst";
    const struct stat a = statOf(dst / "a"), b = statOf(dst / "sub" / "b"), c = statOf(dst / "c");
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_ino, c.st_ino);
    EXPECT_NE(a.st_ino, statOf(src / "a").st_ino);
    EXPECT_EQ(a.st_nlink, 3u);
    EXPECT_EQ(readBytes(dst / "sub" / "b"), "linked");
    EXPECT_EQ(statOf(dst / "single").st_nlink, 1u);
    EXPECT_EQ(r.done.files, 5u);

    TreeSize size;
    ASSERT_TRUE(m_ops.measureTree(src, size).ok());
    EXPECT_EQ(size.bytes, 3 * 6u + 3u);
    EXPECT_EQ(size.allocatedBytes, static_cast<std::uint64_t>(statOf(src / "a").st_blocks +
                                                              statOf(src / "single").st_blocks) *
                                       512);

    if (root) {
        for (const char* p : {"single", "sub", "ln"}) {
            const struct stat from = statOf(src / p), to = statOf(dst / p);
            EXPECT_EQ(to.st_uid, from.st_uid) << p;
            EXPECT_EQ(to.st_gid, from.st_gid) << p;
        }
    }
    if (!xattrs) {
        GTEST_SKIP() << "the temp folder's file system has no user extended attributes";
    }
    for (const auto& [p, v] : std::map<std::string, std::string>{{"single", "v1"}, {"sub", "v2"}}) {
        char value[8] = {};
        EXPECT_EQ(::getxattr((dst / p).c_str(), "user.vantrel", value, sizeof value), 2) << p;
        EXPECT_EQ(std::string(value), v);
    }
}

TEST_F(PosixTreeCopierTest, CopiesAndMeasuresAThousandLevelsUnderTheDefaultDescriptorLimit) {
    // Made and read through descriptors, one level at a time.
    const auto walk = [](const fs::path& top, bool make) {
        int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < 1000 && fd >= 0; ++i) {
            if (make) {
                ::mkdirat(fd, "d", 0755);
            }
            const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
        }
        return fd;
    };
    fs::create_directory(m_dir / "src");
    const int bottom = walk(m_dir / "src", true);
    ASSERT_GE(bottom, 0);
    ::close(::openat(bottom, "bottom.txt", O_WRONLY | O_CREAT, 0644));
    ::close(bottom);
    const std::string report = inChild([&] {
        const rlimit limit{1024, 1024};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return std::string("cannot set the limit");
        }
        RealFileOps ops;
        TreeSize size;
        const FileOpResult measured = ops.measureTree(m_dir / "src", size);
        const CopyResult r = ops.copyTree(m_dir / "src", m_dir / "dst", {}, {});
        return describe(measured) + " " + std::to_string(size.folders) + " " + describe(r) + " " +
               std::to_string(r.done.files);
    });
    EXPECT_EQ(report, "ok 1001 ok 1");
    const int copied = walk(m_dir / "dst", false);
    EXPECT_EQ(::faccessat(copied, "bottom.txt", F_OK, 0), 0);
    ::close(copied);
    EXPECT_TRUE(m_ops.removeTree(m_dir / "dst").ok());
    EXPECT_TRUE(m_ops.removeTree(m_dir / "src").ok());
}

TEST_F(PosixTreeCopierTest, SharesUnchangedFilesWithThePreviousCopy) {
    const fs::path src = m_dir / "src";
    fs::create_directories(src / "sub");
    writeBytes(src / "same.txt", "same");
    writeBytes(src / "sub" / "deep.txt", "deep");
    writeBytes(src / "changed.txt", "old");
    writeBytes(src / "mode.txt", "mode");
    writeBytes(src / "later.txt", "later");
    const fs::path prev = m_dir / "prev";
    ASSERT_TRUE(m_ops.copyTree(src, prev, {}, {}).ok());
    writeBytes(src / "changed.txt", "new");  // same size, new contents and time
    const timespec t[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (src / "changed.txt").c_str(), t, 0), 0);
    ASSERT_EQ(::chmod((src / "mode.txt").c_str(), 0600), 0);
    writeBytes(src / "new.txt", "new");
    // One second apart: equal within a two-second tolerance, not without one.
    const timespec later[2] = {{1500000001, 0}, {1500000001, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (prev / "later.txt").c_str(), later, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, (src / "later.txt").c_str(), t, 0), 0);

    std::map<std::string, bool> entries;
    std::mutex entriesMutex;
    CopyOptions options;
    options.shareFrom = prev;
    options.onEntry = [&](const CopiedEntry& e) {
        std::lock_guard lock(entriesMutex);
        entries[e.relative.string()] = e.shared;
        EXPECT_TRUE(fs::exists(fs::symlink_status(*e.written))) << *e.written;
    };
    const CopyResult r = m_ops.copyTree(src, m_dir / "next", options, {});
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.shared, 2u);
    EXPECT_EQ(r.done.bytes, 4u + 4u + 3u + 4u + 5u + 3u);  // shared bytes count as done
    const auto same = [&](const char* p) {
        return statOf(prev / p).st_ino == statOf(m_dir / "next" / p).st_ino;
    };
    EXPECT_TRUE(same("same.txt"));
    EXPECT_TRUE(same("sub/deep.txt"));
    EXPECT_FALSE(same("changed.txt"));
    EXPECT_FALSE(same("mode.txt"));
    EXPECT_FALSE(same("later.txt"));
    EXPECT_EQ(readBytes(m_dir / "next" / "changed.txt"), "new");
    EXPECT_EQ(statOf(m_dir / "next" / "mode.txt").st_mode & 07777, 0600u);
    EXPECT_EQ(statOf(prev / "mode.txt").st_mode & 07777, 0644u);
    const std::map<std::string, bool> expected{{"", false},
                                               {"same.txt", true},
                                               {"sub", false},
                                               {"sub/deep.txt", true},
                                               {"changed.txt", false},
                                               {"mode.txt", false},
                                               {"later.txt", false},
                                               {"new.txt", false}};
    EXPECT_EQ(entries, expected);

    options.shareTimeToleranceNs = 2'000'000'000;
    options.onEntry = {};
    const CopyResult tolerant = m_ops.copyTree(src, m_dir / "tolerant", options, {});
    EXPECT_EQ(tolerant.shared, 3u);
    EXPECT_EQ(statOf(prev / "later.txt").st_ino, statOf(m_dir / "tolerant" / "later.txt").st_ino);
}

// A shared file that is full of links (ext4 holds 65,000): the first source name that cannot
// be linked is copied, and the source's other names link to that copy, not each to a copy.
TEST_F(PosixTreeCopierTest, NamesOfAFullSharedFileLinkToOneFallbackCopy) {
    const fs::path image = m_dir / "ext4.img";
    const fs::path mnt = m_dir / "mnt";
    fs::create_directory(mnt);
    const std::string make = "truncate -s 32M '" + image.string() + "' && mkfs.ext4 -q -N 64 '" +
                             image.string() + "' >/dev/null 2>&1 && mount -o loop '" +
                             image.string() + "' '" + mnt.string() + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        GTEST_SKIP() << "cannot make and mount an ext4 image here";
    }
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt};
    const fs::path src = mnt / "src";
    const fs::path prev = mnt / "prev";
    fs::create_directories(src);
    fs::create_directories(prev);
    fs::create_directories(mnt / "fill");
    writeBytes(src / "h1", "data");
    for (const char* name : {"h2", "h3"}) {
        fs::create_hard_link(src / "h1", src / name);
    }
    for (const char* name : {"h1", "h2", "h3"}) {
        fs::create_hard_link(src / "h1", prev / name);  // the previous copy: the same file
    }
    int links = 6;
    for (; links < 64'999; ++links) {
        if (::link((src / "h1").c_str(), (mnt / "fill" / std::to_string(links)).c_str()) != 0) {
            break;
        }
    }
    ASSERT_EQ(links, 64'999);  // room for one more link
    CopyOptions options;
    options.shareFrom = prev;
    const CopyResult r = m_ops.copyTree(src, mnt / "next", options, {});
    ASSERT_TRUE(r.ok()) << describe(r);
    std::set<ino_t> inodes;
    for (const char* name : {"h1", "h2", "h3"}) {
        EXPECT_EQ(readBytes(mnt / "next" / name), "data");
        inodes.insert(statOf(mnt / "next" / name).st_ino);
    }
    EXPECT_EQ(inodes.size(), 2u);  // the shared file, and one copy for the other two names
}

TEST_F(PosixTreeCopierTest, SkipsListedFoldersAndSwapsAndSyncs) {
    fs::create_directories(m_dir / "src" / "target");
    fs::create_directories(m_dir / "src" / "kept");
    writeBytes(m_dir / "src" / "target" / "old-copy.txt", "old");
    CopyOptions options;
    options.skipFolders.push_back(*fileIdOf(m_dir / "src" / "target"));
    ASSERT_TRUE(m_ops.copyTree(m_dir / "src", m_dir / "dst", options, {}).ok());
    EXPECT_FALSE(fs::exists(m_dir / "dst" / "target"));
    EXPECT_TRUE(fs::exists(m_dir / "dst" / "kept"));

    writeBytes(m_dir / "a", "a");
    fs::create_directory(m_dir / "b");
    const FileOpResult swapped = m_ops.exchange(m_dir / "a", m_dir / "b");
    if (swapped.error == std::errc::not_supported) {
        GTEST_SKIP() << "no atomic exchange on this file system";
    }
    ASSERT_TRUE(swapped.ok()) << describe(swapped);
    EXPECT_TRUE(fs::is_directory(m_dir / "a"));
    EXPECT_EQ(readBytes(m_dir / "b"), "a");
    EXPECT_EQ(m_ops.exchange(m_dir / "a", m_dir / "missing").error,
              std::errc::no_such_file_or_directory);
    EXPECT_TRUE(m_ops.syncFolder(m_dir.path()).ok());
    EXPECT_TRUE(m_ops.syncFileSystem(m_dir.path()).ok());
    EXPECT_FALSE(m_ops.syncFolder(m_dir / "missing").ok());
}

}  // namespace
}  // namespace vantrel
