#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vantrel {

// Hashes a file's contents as a copy moves them, in order: `data` for bytes, `zeros` for a
// hole of that length. One per thread, started again for each file.
class ContentDigest {
public:
    virtual ~ContentDigest() = default;
    virtual void start() = 0;
    virtual void data(const char* bytes, std::size_t size) = 0;
    virtual void zeros(std::uint64_t size) = 0;
    // The digest of everything given since start(), as text.
    virtual std::string finish() = 0;
};

using DigestFactory = std::function<std::unique_ptr<ContentDigest>()>;

}  // namespace vantrel
