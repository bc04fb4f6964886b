#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/manifest/FileHash.h"
#include "platform/FileContents.h"
#include "platform/posix/PosixTreeCopier.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

constexpr off_t kMiB = off_t{1} << 20;

struct Piece {
    off_t offset;
    std::string bytes;
};

// A file of `size` bytes holding only `pieces`: holes elsewhere where the file system keeps
// them. Returns whether it has any.
bool writeSparse(const fs::path& file, off_t size, const std::vector<Piece>& pieces) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    for (const Piece& p : pieces) {
        EXPECT_EQ(::pwrite(fd, p.bytes.data(), p.bytes.size(), p.offset),
                  static_cast<ssize_t>(p.bytes.size()));
    }
    EXPECT_EQ(::ftruncate(fd, size), 0);
    ::fsync(fd);  // holes show once the blocks are allocated
    struct stat st;
    ::fstat(fd, &st);
    ::close(fd);
    return st.st_blocks * 512 < size;
}

// The same bytes written out whole, zeros included.
void writeDense(const fs::path& file, off_t size, const std::vector<Piece>& pieces) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (const Piece& p : pieces) {
        bytes.replace(static_cast<std::size_t>(p.offset), p.bytes.size(), p.bytes);
    }
    test::writeBytes(file, bytes);
}

// A file with holes hashes as the same bytes written whole, wherever the holes lie, so hashes
// recorded before holes were skipped still match; a byte set in a hole changes the hash.
TEST(FileHash, HolesHashAsTheZerosTheyReadAs) {
    test::TempDir dir;
    const std::string data(70000, 'x');
    const struct {
        const char* name;
        off_t size;
        std::vector<Piece> pieces;
    } layouts[] = {
        {"hole first", 8 * kMiB, {{6 * kMiB, data}}},
        {"hole between", 8 * kMiB, {{0, data}, {5 * kMiB + 3, data}}},
        {"hole last", 8 * kMiB, {{0, data}}},
        {"only a hole", 8 * kMiB, {}},
    };
    bool anyHoles = false;
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const bool holes = writeSparse(dir / "sparse", layout.size, layout.pieces);
        anyHoles = anyHoles || holes;
        writeDense(dir / "dense", layout.size, layout.pieces);
        const std::string hash = hashFile(dir / "sparse");
        EXPECT_EQ(hash, hashFile(dir / "dense"));
        std::uint64_t read = 0, zeros = 0;
        EXPECT_FALSE(readContents(dir / "sparse", {[&](const char*, std::size_t n) { read += n; },
                                                   [&](std::uint64_t n) { zeros += n; }}));
        EXPECT_EQ(read + zeros, static_cast<std::uint64_t>(layout.size));
        if (holes) {
            EXPECT_LT(read, static_cast<std::uint64_t>(layout.size / 2)) << "holes were read";
        }

        std::vector<Piece> changed = layout.pieces;
        changed.push_back({3 * kMiB, "y"});  // in a hole of every layout
        writeSparse(dir / "sparse", layout.size, changed);
        EXPECT_NE(hashFile(dir / "sparse"), hash);
    }
    if (!anyHoles) {
        GTEST_SKIP() << "the temp folder's file system does not keep holes";
    }
}

// A copy hashes what it writes as it goes, by every way of copying: the same hash as reading
// the file afterwards, holes, a trailing hole and data across a chunk's end included.
TEST(FileHash, ACopyHashesWhatItWritesAsReadingItWould) {
    test::TempDir dir;
    const std::string data(70000, 'x');
    const struct {
        const char* name;
        off_t size;
        std::vector<Piece> pieces;
        bool sparse;
    } layouts[] = {
        {"small", 5, {{0, "hello"}}, false},
        {"empty", 0, {}, false},
        {"holes between and last", 8 * kMiB, {{0, data}, {5 * kMiB + 3, data}}, true},
        {"across a chunk", 17 * kMiB, {{16 * kMiB - 9, data}}, true},
        {"dense, two chunks", 17 * kMiB, {{3, data}}, false},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        fs::remove_all(dir / "src");
        fs::create_directories(dir / "src");
        if (layout.sparse) {
            writeSparse(dir / "src" / "f", layout.size, layout.pieces);
        } else {
            writeDense(dir / "src" / "f", layout.size, layout.pieces);
        }
        const std::string expected = hashFile(dir / "src" / "f");
        for (CopyMethod method : {CopyMethod::Auto, CopyMethod::SendFile, CopyMethod::ReadWrite}) {
            fs::remove_all(dir / "dst");
            std::string reported;
            CopyOptions options;
            options.digest = newContentDigest;
            options.onEntry = [&reported](const CopiedEntry& e) {
                if (e.type == EntryType::File) {
                    ASSERT_NE(e.hash, nullptr);
                    reported = *e.hash;
                }
            };
            ASSERT_TRUE(posix::copyTree(dir / "src", dir / "dst", options, {}, method).ok());
            EXPECT_EQ(reported, expected) << static_cast<int>(method);
            EXPECT_EQ(hashFile(dir / "dst" / "f"), expected) << static_cast<int>(method);
        }
    }
}

}  // namespace
}  // namespace vantrel
