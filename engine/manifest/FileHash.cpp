#include "engine/manifest/FileHash.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "platform/FileContents.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// XXH3-128 in hex. A hole hashes as the zeros it reads as, so the hash is that of the bytes
// whatever the file system keeps, and stays comparable with every hash recorded before; only
// the reading of holes is spared.
class Xxh3Digest final : public ContentDigest {
public:
    Xxh3Digest() { start(); }

    void start() override { XXH3_128bits_reset(&m_state); }

    void data(const char* bytes, std::size_t size) override {
        XXH3_128bits_update(&m_state, bytes, size);
    }

    void zeros(std::uint64_t size) override {
        static constexpr char kZeros[64 * 1024] = {};
        for (; size > 0; size -= std::min<std::uint64_t>(size, sizeof kZeros)) {
            XXH3_128bits_update(
                &m_state, kZeros,
                static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof kZeros)));
        }
    }

    std::string finish() override {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&m_state));
        std::string hex;
        hex.reserve(32);
        for (unsigned char byte : canonical.digest) {
            hex += kHexDigits[byte >> 4];
            hex += kHexDigits[byte & 15];
        }
        return hex;
    }

private:
    XXH3_state_t m_state;
};

}  // namespace

std::unique_ptr<ContentDigest> newContentDigest() {
    return std::make_unique<Xxh3Digest>();
}

std::string hashFile(const fs::path& file) {
    Xxh3Digest digest;
    const ContentSink sink{
        [&digest](const char* bytes, std::size_t size) { digest.data(bytes, size); },
        [&digest](std::uint64_t size) { digest.zeros(size); }};
    if (const std::error_code error = readContents(file, sink)) {
        throw std::system_error(error, pathToUtf8(file));
    }
    return digest.finish();
}

}  // namespace vantrel
