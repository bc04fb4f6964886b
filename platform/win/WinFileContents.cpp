#include <cerrno>
#include <fstream>
#include <memory>

#include "platform/FileContents.h"
#include "platform/LongPath.h"

namespace vantrel {

std::error_code readContents(const std::filesystem::path& file, const ContentSink& sink) {
    constexpr std::size_t kBufferSize = std::size_t{1} << 20;
    thread_local const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);  // read straight into the buffer
    in.open(longPath(file), std::ios::binary);
    if (!in) {
        return {errno ? errno : EIO, std::generic_category()};
    }
    while (in) {
        in.read(buffer.get(), static_cast<std::streamsize>(kBufferSize));
        if (in.gcount() > 0) {
            sink.data(buffer.get(), static_cast<std::size_t>(in.gcount()));
        }
    }
    if (in.bad()) {
        return {EIO, std::generic_category()};
    }
    return {};
}

}  // namespace vantrel
