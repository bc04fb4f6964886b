#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "engine/manifest/ManifestCodec.h"
#include "engine/manifest/ManifestIndex.h"
#include "engine/manifest/ManifestRecorder.h"
#include "platform/TextCodec.h"

namespace vantrel {
namespace {

// Databases keep these bytes: a change to the encoding must still read them.
TEST(ManifestCodec, TheStoredFormatStaysReadable) {
    const Manifest m = {{"", 'd', 0, 5, "", {}, {}}, {"a", 'f', 3, -2, "ab", {}, {}}};
    // Format 1, two entries: "" d, size 0, time zigzag(5), no hash; then "a" sharing nothing
    // with "", f, size 3, time zigzag(-2), one packed hash byte; then the checksum.
    const std::string blob(
        "\x01\x02"
        "\x00\x00"
        "d\x00\x0a\x00"
        "\x00\x01"
        "af\x03\x03\x03\xab"
        "\x57\x3d\x4c\x36\x0e\x60\x33\xfd",
        24);
    EXPECT_EQ(decodeManifest(blob), m);
    // Written now with the source's facts, which come back whole.
    Manifest withSource = m;
    withSource[1].source = SourceFacts{3, -2, 1'700'000'000'123'456'789, 04755, 1000, 65534};
    EXPECT_EQ(decodeManifest(encodeManifest(withSource)), withSource);
    EXPECT_EQ(decodeManifest(encodeManifest(m)), m);
    // And with the entries' attributes in the copy, and a file recorded without a hash.
    Manifest withAttributes = withSource;
    withAttributes[0].attributes = EntryAttributes{0755, 0, 0};
    withAttributes[1].attributes = EntryAttributes{04755, 1000, 65534};
    withAttributes[1].hash.clear();
    EXPECT_EQ(decodeManifest(encodeManifest(withAttributes)), withAttributes);

    // Format 2 hashed every file: one without a hash could not be read back, never "not hashed".
    const std::string unread(
        "\x02\x01"
        "\x00\x01"
        "af\x03\x03\x00\x00"
        "\x23\x97\x94\x03\x0b\xde\xcf\x21",
        18);
    const Manifest unreadFile = {{"a", 'f', 3, -2, std::string(kUnreadHash), {}, {}}};
    EXPECT_EQ(decodeManifest(unread), unreadFile);
    EXPECT_EQ(findInManifest(unread, "a"), unreadFile[0]);
}

TEST(ManifestCodec, ADamagedBlobIsNeverTrusted) {
    const Manifest m = {{"", 'd', 0, 1, "", {}, {}},
                        {"a.txt", 'f', 300, -70'000, "0123456789abcdef0123456789abcdef", {}, {}},
                        {"ab", 'l', 0, 2, "a.txt", {}, {}},
                        {"ab/c", 'f', 1, 2, "", SourceFacts{1, 2, 3, 0644, 0, 0}, {}}};
    const std::string good = encodeManifest(m);
    const auto damaged = [](const std::string& blob) {
        try {
            decodeManifest(blob);
            return false;
        } catch (const DamagedManifest&) {
            return true;
        }
    };
    // Cut anywhere, one byte changed anywhere (the format, a count, a length, the checksum),
    // or one byte more: each is damage.
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_TRUE(damaged(good.substr(0, size))) << "cut to " << size;
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (const unsigned char flip : {0x01, 0x80, 0xFF}) {
            std::string blob = good;
            blob[at] = static_cast<char>(blob[at] ^ flip);
            EXPECT_TRUE(damaged(blob)) << "byte " << at << " ^ " << int{flip};
        }
    }
    EXPECT_TRUE(damaged(good + '\0'));
    EXPECT_TRUE(damaged("\x02\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"));  // 2^64-1 entries
    EXPECT_EQ(decodeManifest(good), m);

    // One entry looked up alone is the entry decoded; a damaged BLOB is refused there too.
    for (const ManifestEntry& e : m) {
        EXPECT_EQ(findInManifest(good, e.path), e) << e.path;
    }
    for (const char* absent : {"a", "a.txt0", "b"}) {
        EXPECT_FALSE(findInManifest(good, absent)) << absent;
    }
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    EXPECT_THROW(findInManifest(flipped, "ab"), DamagedManifest);

    // The index a sharing run looks into finds the same, and refuses the same damage.
    const ManifestIndex index(good);
    for (const ManifestEntry& e : m) {
        EXPECT_EQ(index.find(e.path), e) << e.path;
    }
    for (const char* absent : {"a", "a.txt0", "b", "ab/"}) {
        EXPECT_FALSE(index.find(absent)) << absent;
    }
    EXPECT_THROW(ManifestIndex{flipped}, DamagedManifest);
    EXPECT_THROW(ManifestIndex{good.substr(0, good.size() - 9) + good.substr(good.size() - 8)},
                 DamagedManifest);
}

// A run records its entries as the copy reports them, from several threads and in no order;
// the BLOB it gets holds them sorted, as the encoder writes them.
TEST(ManifestCodec, TheRecorderWritesWhatTheEncoderWould) {
    RealFileOps files;
    std::vector<std::thread> threads;
    {
        ManifestRecorder recorder(files, nullptr, false);
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&recorder, t] {
                for (int i = 999; i >= 0; --i) {
                    CopiedEntry e;
                    e.relative =
                        pathFromUtf8("d" + std::to_string(t) + "/" + std::to_string(i) +
                                     std::string(static_cast<std::size_t>(i % 7) * 40, 'x'));
                    e.type = EntryType::Link;  // links keep their target: read, not hashed
                    e.size = static_cast<std::uint64_t>(i);
                    e.mtimeNs = -i;
                    EntryStat held;
                    held.permissions = 0777;
                    e.held = &held;
                    recorder.add(e);
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        const std::string blob = recorder.take();
        const Manifest got = decodeManifest(blob);
        ASSERT_EQ(got.size(), 4000u);
        EXPECT_TRUE(isSortedByPath(got));
        EXPECT_EQ(encodeManifest(got), blob);
        EXPECT_EQ(got[0].attributes, (EntryAttributes{0777, 0, 0}));
        EXPECT_EQ(recorder.take(), encodeManifest({}));  // nothing held afterwards
    }
}

}  // namespace
}  // namespace vantrel
