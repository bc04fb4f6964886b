#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/FileOps.h"
#include "platform/FileStat.h"

namespace vantrel {

// Puts single entries where files are given back: each is written whole under a temporary
// name beside its place and then renamed there, so a place holds either what was there or
// the whole new entry. What is written is always a new file, never a link to the file it
// came from. One real implementation per OS; tests may fake faults.
class FilePlacer {
public:
    virtual ~FilePlacer() = default;

    // Writes a new regular file at `temp` with the contents, permission bits, modification
    // time and (where the process may set them) owner and group of the file `from`, which is
    // never followed if it is a link. A file left at `temp` by an earlier attempt is
    // replaced; a link there is never followed.
    virtual FileOpResult writeFile(const std::filesystem::path& from,
                                   const std::filesystem::path& temp) = 0;
    // Makes at `temp` a symbolic link with the target and time of the link `from`.
    virtual FileOpResult writeLink(const std::filesystem::path& from,
                                   const std::filesystem::path& temp) = 0;
    // Makes at `temp` a named pipe with the permission bits and time of the pipe `from`;
    // std::errc::not_supported where `from` is no pipe (a device, a socket) or the system
    // has none.
    virtual FileOpResult writePipe(const std::filesystem::path& from,
                                   const std::filesystem::path& temp) {
        (void)from;
        return {temp, std::make_error_code(std::errc::not_supported)};
    }
    // Makes `temp` another name of the file `existing` (a hard link); std::errc::not_supported
    // where the system has none.
    virtual FileOpResult writeHardLink(const std::filesystem::path& existing,
                                       const std::filesystem::path& temp) {
        (void)existing;
        return {temp, std::make_error_code(std::errc::not_supported)};
    }
    // Renames `temp` to `to`. Unless `replace`, fails with std::errc::file_exists when `to`
    // exists, even when it appeared a moment ago.
    virtual FileOpResult place(const std::filesystem::path& temp, const std::filesystem::path& to,
                               bool replace) = 0;
    // Makes the folder `folder`, whose parent exists, with the permission bits (07777) it is
    // to have, writable by the process until finishFolder; fails with std::errc::file_exists
    // when an entry of that name exists.
    virtual FileOpResult makeFolder(const std::filesystem::path& folder,
                                    std::uint32_t permissions) = 0;
    // Gives a folder made by makeFolder the permission bits, time and owner of `like`.
    virtual FileOpResult finishFolder(const std::filesystem::path& folder,
                                      const EntryStat& like) = 0;
    // Removes one file or link (a temporary one a failure left).
    virtual FileOpResult removeFile(const std::filesystem::path& file) = 0;
};

class RealFilePlacer final : public FilePlacer {
public:
    FileOpResult writeFile(const std::filesystem::path& from,
                           const std::filesystem::path& temp) override;
    FileOpResult writeLink(const std::filesystem::path& from,
                           const std::filesystem::path& temp) override;
#ifndef _WIN32
    FileOpResult writePipe(const std::filesystem::path& from,
                           const std::filesystem::path& temp) override;
    FileOpResult writeHardLink(const std::filesystem::path& existing,
                               const std::filesystem::path& temp) override;
#endif
    FileOpResult place(const std::filesystem::path& temp, const std::filesystem::path& to,
                       bool replace) override;
    FileOpResult makeFolder(const std::filesystem::path& folder,
                            std::uint32_t permissions) override;
    FileOpResult finishFolder(const std::filesystem::path& folder, const EntryStat& like) override;
    FileOpResult removeFile(const std::filesystem::path& file) override;
};

}  // namespace vantrel
