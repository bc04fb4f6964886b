#include "platform/posix/PosixDataCopy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vantrel::posix {

namespace {

// Chunks small enough that progress and cancelling are seen a few times a second, large
// enough that the kernel moves a small file in one call.
constexpr size_t kChunk = size_t{16} << 20;
constexpr size_t kBufferSize = size_t{1} << 20;

}  // namespace

std::uint64_t heldBytes(int dirFd, const char* name, const struct stat& st) {
    const off_t size = st.st_size;
    if (size <= 0 || st.st_blocks * 512 >= size) {
        return static_cast<std::uint64_t>(std::max<off_t>(size, 0));
    }
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return static_cast<std::uint64_t>(size);
    }
    std::uint64_t held = 0;
    for (off_t pos = 0; pos < size;) {
        const off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0) {
            // Past the last data, or no hole finding here: the rest counts whole.
            held += errno == ENXIO ? 0 : static_cast<std::uint64_t>(size - pos);
            break;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        hole = hole < 0 ? size : std::min(hole, size);
        held += static_cast<std::uint64_t>(std::max<off_t>(hole - data, 0));
        pos = std::max(hole, data + 1);
    }
    ::close(fd);
    return held;
}

int DataCopy::copy(int in, int out, const struct stat& st, DataCopyObserver& observer,
                   ContentDigest* digest) {
    m_digest = digest;
    m_hashedTo = 0;
    const off_t size = st.st_size;
    if (size <= 0) {
        return 0;
    }
    // Fewer blocks than the size needs: the file has holes, so only its data is copied.
    if (st.st_blocks * 512 >= size) {
        return copyRange(in, out, 0, size, size, observer);
    }
    off_t pos = 0;
    while (pos < size) {
        const off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // only a hole is left
            }
            // No hole finding here: copy the rest whole.
            if (const int err = copyRange(in, out, pos, size - pos, size, observer)) {
                return err;
            }
            break;
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) {
            hole = size;
        }
        if (const int err = copyRange(in, out, data, std::min(hole, size) - data, size, observer)) {
            return err;
        }
        pos = hole;
    }
    if (::ftruncate(out, size) != 0) {
        return errno;
    }
    if (m_digest != nullptr && size > m_hashedTo) {
        m_digest->zeros(static_cast<std::uint64_t>(size - m_hashedTo));  // the trailing hole
        m_hashedTo = size;
    }
    return 0;
}

// Gives the digest the `length` bytes just written at `offset` of `out`: from the buffer
// they went through, else read back from the page cache. A hole before them reads as zeros.
void DataCopy::hashWritten(int out, off_t offset, size_t length, bool inBuffer) {
    if (offset > m_hashedTo) {
        m_digest->zeros(static_cast<std::uint64_t>(offset - m_hashedTo));
    }
    m_hashedTo = offset + static_cast<off_t>(length);
    if (inBuffer) {
        m_digest->data(m_buffer.data(), length);
        return;
    }
    if (m_buffer.empty()) {
        m_buffer.resize(kBufferSize);
    }
    while (length > 0) {
        const ssize_t n = ::pread(out, m_buffer.data(), std::min(length, m_buffer.size()), offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_digest = nullptr;  // no hash rather than a wrong one; the copy itself stands
            return;
        }
        m_digest->data(m_buffer.data(), static_cast<size_t>(n));
        offset += n;
        length -= static_cast<size_t>(n);
    }
}

// Copies `length` bytes at `offset` of `in` to the same offset of `out`.
int DataCopy::copyRange(int in, int out, off_t offset, off_t length, off_t fileSize,
                        DataCopyObserver& observer) {
    if (m_how == CopyMethod::SendFile && ::lseek(out, offset, SEEK_SET) < 0) {
        return errno;
    }
    off_t inPos = offset, outPos = offset;
    while (length > 0) {
        if (observer.cancelled()) {
            return ECANCELED;
        }
        const size_t want = static_cast<size_t>(std::min<off_t>(length, kChunk));
        ssize_t n = 0;
        switch (m_how) {
            case CopyMethod::Auto:
            case CopyMethod::CopyFileRange:
                n = ::copy_file_range(in, &inPos, out, &outPos, want, 0);
                break;
            case CopyMethod::SendFile:
                n = ::sendfile(out, in, &inPos, want);
                break;
            case CopyMethod::ReadWrite:
                n = bufferCopy(in, out, inPos, want);
                if (n > 0) {
                    inPos += n;
                }
                break;
        }
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            // Not between these file systems: the next way, for the rest of the copy.
            if (m_method == CopyMethod::Auto && fallBack(err)) {
                if (m_how == CopyMethod::SendFile && ::lseek(out, outPos, SEEK_SET) < 0) {
                    return errno;
                }
                continue;
            }
            return err;
        }
        if (n == 0) {
            break;  // the file shrank while being copied
        }
        outPos = inPos;  // copy_file_range moves both itself; the others only the input
        length -= n;
        if (m_digest != nullptr) {
            hashWritten(out, outPos - n, static_cast<size_t>(n), m_how == CopyMethod::ReadWrite);
        }
        const bool big = static_cast<size_t>(fileSize) > kChunk;
        if (big) {
            // Big files start going to disk while the rest is copied, so the sync that
            // makes the copy durable finds less left to write.
            ::sync_file_range(out, outPos - n, n, SYNC_FILE_RANGE_WRITE);
        }
        observer.moved(static_cast<std::uint64_t>(n), big);
    }
    return 0;
}

// Moves to the next way of copying after `err`; false when there is none for it.
bool DataCopy::fallBack(int err) {
    if (m_how == CopyMethod::Auto &&
        (err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP)) {
        m_how = CopyMethod::SendFile;
        return true;
    }
    if (m_how == CopyMethod::SendFile && (err == ENOSYS || err == EINVAL)) {
        m_how = CopyMethod::ReadWrite;
        return true;
    }
    return false;
}

// One read at `offset` and its full write there; returns bytes moved, 0 at end of file,
// -1 with errno.
ssize_t DataCopy::bufferCopy(int in, int out, off_t offset, size_t want) {
    if (m_buffer.empty()) {
        m_buffer.resize(kBufferSize);
    }
    const ssize_t n = ::pread(in, m_buffer.data(), std::min(want, m_buffer.size()), offset);
    if (n <= 0) {
        return n;
    }
    for (ssize_t written = 0; written < n;) {
        const ssize_t w = ::pwrite(out, m_buffer.data() + written, static_cast<size_t>(n - written),
                                   offset + written);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        written += w;
    }
    return n;
}

}  // namespace vantrel::posix
