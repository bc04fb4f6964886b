#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The identity of the volume a path lies on, as Windows names volumes: its GUID path
// ("\\?\Volume{…}\") and its serial number. A disk keeps both when its drive letter changes.
struct VolumeIdentity {
    std::string guid;
    std::string serial;
    std::filesystem::path below;  // the path below the volume's root ("bak" for "F:\bak")
};

// The OS's knowledge of volumes. POSIX names none: mount points stand for their disks, and a
// target there is told by its mark alone.
class Volumes {
public:
    virtual ~Volumes() = default;
    // The volume `path` (which exists) lies on; none where the OS cannot say.
    virtual std::optional<VolumeIdentity> volumeOf(const std::filesystem::path& path) = 0;
    // Where the volume of `guid` is mounted now ("G:\"); none when it is not connected.
    virtual std::optional<std::filesystem::path> rootOf(std::string_view guid) = 0;
    // For a path on a mapped network drive ("Z:\bak"), the same place as a UNC path
    // ("\\server\share\bak"); none for any other path. No password is ever asked or kept.
    virtual std::optional<std::filesystem::path> networkPathOf(
        const std::filesystem::path& path) = 0;
};

// This system's volumes.
Volumes& systemVolumes();

}  // namespace vantrel
