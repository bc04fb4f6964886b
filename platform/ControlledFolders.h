#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace vantrel {

// Windows' Controlled Folder Access: when it is on, only allowed programs may write in the
// folders it protects, and others are refused with "access denied".
struct ControlledFolders {
    bool on = false;
    std::vector<std::filesystem::path> folders;  // the protected folders
};

// The system's setting as it is now; never on outside Windows.
ControlledFolders readControlledFolders();

// Puts another reader in place of the system's (tests); returns the one it replaced. An
// empty reader puts the system's back.
using ControlledFoldersReader = std::function<ControlledFolders()>;
ControlledFoldersReader setControlledFoldersReader(ControlledFoldersReader reader);

// The protected folder that holds `path`, or is it; names compare as Windows compares them,
// without regard to case, either separator.
std::optional<std::filesystem::path> protectingFolder(const ControlledFolders& controlled,
                                                      const std::filesystem::path& path);

}  // namespace vantrel
