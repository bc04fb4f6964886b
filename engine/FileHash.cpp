#include "engine/FileHash.h"

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

}  // namespace

std::string hashFile(const fs::path& file) {
    // A hole hashes as the zeros it reads as, so the hash is that of the bytes whatever the
    // file system keeps, and stays comparable with every hash recorded before; only the
    // reading of holes is spared.
    static constexpr char kZeros[64 * 1024] = {};
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    const ContentSink sink{
        [&state](const char* bytes, std::size_t size) { XXH3_128bits_update(&state, bytes, size); },
        [&state](std::uint64_t size) {
            for (; size > 0; size -= std::min<std::uint64_t>(size, sizeof kZeros)) {
                XXH3_128bits_update(
                    &state, kZeros,
                    static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof kZeros)));
            }
        }};
    if (const std::error_code error = readContents(file, sink)) {
        throw std::system_error(error, pathToUtf8(file));
    }
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state));
    std::string hex;
    hex.reserve(32);
    for (unsigned char byte : canonical.digest) {
        hex += kHexDigits[byte >> 4];
        hex += kHexDigits[byte & 15];
    }
    return hex;
}

}  // namespace vantrel
