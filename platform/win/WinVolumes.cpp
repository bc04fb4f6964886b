#include <windows.h>
#include <winnetwk.h>

#include <cstdio>
#include <vector>

#include "platform/Volumes.h"

#include "platform/TextCodec.h"

namespace vantrel {

namespace {

class WinVolumes final : public Volumes {
public:
    std::optional<VolumeIdentity> volumeOf(const std::filesystem::path& path) override {
        wchar_t root[MAX_PATH + 1] = {};
        if (!GetVolumePathNameW(path.c_str(), root, MAX_PATH)) {
            return std::nullopt;
        }
        wchar_t guid[64] = {};
        if (!GetVolumeNameForVolumeMountPointW(root, guid, 64)) {
            return std::nullopt;  // a network share has no volume GUID
        }
        DWORD serial = 0;
        if (!GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
            return std::nullopt;
        }
        VolumeIdentity id;
        id.guid = pathToUtf8(std::filesystem::path(guid));
        char text[16];
        std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(serial));
        id.serial = text;
        id.below = path.lexically_normal().lexically_relative(std::filesystem::path(root));
        if (id.below == ".") {
            id.below.clear();
        }
        return id;
    }

    std::optional<std::filesystem::path> rootOf(std::string_view guid) override {
        const std::filesystem::path name = pathFromUtf8(guid);
        std::vector<wchar_t> names(1024);
        DWORD length = 0;
        if (!GetVolumePathNamesForVolumeNameW(name.c_str(), names.data(),
                                              static_cast<DWORD>(names.size()), &length) ||
            names[0] == L'\0') {
            return std::nullopt;
        }
        return std::filesystem::path(names.data());  // the first of its mount points
    }

    std::optional<std::filesystem::path> networkPathOf(const std::filesystem::path& path) override {
        const std::wstring drive = path.root_name().wstring();
        if (drive.size() != 2 || drive[1] != L':' ||
            GetDriveTypeW((drive + L"\\").c_str()) != DRIVE_REMOTE) {
            return std::nullopt;
        }
        wchar_t remote[1024] = {};
        DWORD length = 1024;
        if (WNetGetConnectionW(drive.c_str(), remote, &length) != NO_ERROR) {
            return std::nullopt;
        }
        return std::filesystem::path(remote) / path.relative_path();
    }
};

}  // namespace

Volumes& systemVolumes() {
    static WinVolumes volumes;
    return volumes;
}

}  // namespace vantrel
