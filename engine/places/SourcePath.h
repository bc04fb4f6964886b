#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "engine/BackupError.h"
#include "engine/BackupSettings.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// A request about files that names something it may not: a path outside the source, or a
// place a restore may not write to. The front ends tell it apart from a failure (the
// command line exits 2).
class RequestRefused : public BackupError {
public:
    using BackupError::BackupError;
};

// The source folder (or file) of the settings, resolved from the working directory, a link
// followed.
std::filesystem::path sourceRoot(const Workspace& ws, const TBackupSettings& settings);

// `path` (absolute, or relative to the source; "." for the source itself) as the copies name
// it: below the source, UTF-8 with "/" between names, "" for the source itself. Throws
// RequestRefused naming it when it lies outside the source.
std::string sourceRelative(const Workspace& ws, const TBackupSettings& settings,
                           std::string_view path);

}  // namespace vantrel
