#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/FileContents.h"
#include "platform/posix/PosixFd.h"

namespace vantrel {

namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

std::error_code errorOf(int err) {
    return {err, std::system_category()};
}

// Reads `length` bytes at `offset` into the sink; fewer when the file shrank meanwhile.
int readRange(int fd, off_t offset, off_t length, char* buffer, const ContentSink& sink) {
    while (length > 0) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(length, kBufferSize));
        const ssize_t n = ::pread(fd, buffer, want, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            break;
        }
        sink.data(buffer, static_cast<std::size_t>(n));
        offset += n;
        length -= n;
    }
    return 0;
}

}  // namespace

std::error_code readContents(const std::filesystem::path& file, const ContentSink& sink) {
    // One buffer per thread, made once: small files are the many, and a fresh megabyte for
    // each cost more than reading them.
    thread_local const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    const posix::Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return errorOf(errno);
    }
    const off_t size = st.st_size;
    // As many blocks as the size needs: no holes to look for.
    if (st.st_blocks * 512 >= size) {
        return errorOf(readRange(fd.get(), 0, size, buffer.get(), sink));
    }
    off_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(fd.get(), pos, SEEK_DATA);
        if (data < 0 && errno != ENXIO) {
            data = pos;  // no hole finding here: the rest is read
        }
        if (data < 0 || data >= size) {
            sink.zeros(static_cast<std::uint64_t>(size - pos));  // only a hole is left
            break;
        }
        if (data > pos) {
            sink.zeros(static_cast<std::uint64_t>(data - pos));
        }
        off_t hole = ::lseek(fd.get(), data, SEEK_HOLE);
        if (hole < 0 || hole > size) {
            hole = size;
        }
        if (const int err = readRange(fd.get(), data, hole - data, buffer.get(), sink)) {
            return errorOf(err);
        }
        pos = hole;
    }
    return {};
}

}  // namespace vantrel
