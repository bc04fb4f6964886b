#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/IniFileOs.h"
#include "platform/TextCodec.h"

namespace vantrel::detail {

namespace {

std::string osReason(int code) {
    return std::system_category().message(code);
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& reason) {
    throw std::runtime_error(pathToUtf8(file) + ": " + reason);
}

}  // namespace

void writeAndReplace(const std::filesystem::path& file, const std::filesystem::path& temp,
                     const std::string& content, std::filesystem::perms mode) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail(temp, osReason(errno));
    }
    int err = 0;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (err == 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        err = errno;
    }
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(temp.c_str(), file.c_str()) != 0) {
        err = errno;
        ::unlink(temp.c_str());
        fail(file, osReason(err));
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        fail(temp, osReason(err));
    }
    // Make the rename itself durable.
    const int dirFd = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

std::string uniqueSuffix() {
    return std::to_string(::getpid());
}

}  // namespace vantrel::detail
