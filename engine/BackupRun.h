#pragma once

#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/Workspace.h"
#include "platform/Clock.h"

namespace vantrel {

// The part of SourcePath from its last separator to its end, separator included
// ("/data" for "/work/data"). On Windows both "\" and "/" are separators.
std::string NameTail(std::string_view sourcePath);

// TargetFolder + NameTail + "_" + yyyymmdd, joined with no further separator.
std::string MakeTargetPath(std::string_view sourcePath, std::string_view targetFolder,
                           LocalTime when);

// Status panel 1 while the copy runs; the window appends its progress to it.
inline constexpr std::string_view kCopyingStatus = "文件备份中……";

enum class PruneAfterRun { No, IfKeepCountSet };

// Makes one dated copy of the source in the target folder, logs it and records it; then,
// when asked and a keep count is set, prunes old copies. Empty source or target shows its
// message and returns false. Any failure throws BackupError with the user-facing text;
// status panel 1 then reads "文件备份失败！" when the copy itself failed.
bool RunBackup(Workspace& ws, const TBackupSettings& settings,
               PruneAfterRun prune = PruneAfterRun::No);

}  // namespace vantrel
