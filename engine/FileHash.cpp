#include "engine/FileHash.h"

#include <cerrno>
#include <fstream>
#include <memory>
#include <system_error>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "platform/LongPath.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

std::string hashFile(const fs::path& file) {
    // One buffer per thread, made once: small files are the many, and clearing a fresh
    // megabyte for each cost more than hashing it.
    constexpr std::size_t kBufferSize = 1 << 20;
    thread_local const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);  // read straight into the buffer
    in.open(longPath(file), std::ios::binary);
    if (!in) {
        throw std::system_error(errno ? errno : EIO, std::generic_category(), pathToUtf8(file));
    }
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    while (in) {
        in.read(buffer.get(), static_cast<std::streamsize>(kBufferSize));
        XXH3_128bits_update(&state, buffer.get(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw std::system_error(EIO, std::generic_category(), pathToUtf8(file));
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
