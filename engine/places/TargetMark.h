#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "engine/BackupError.h"
#include "engine/BackupSettings.h"
#include "engine/places/JobPlaces.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/Workspace.h"
#include "platform/Volumes.h"

namespace vantrel {

// The mark a job leaves in its target folder, ".vantrel-<job>.mark": a short text naming the
// job's working directory and, where the OS names volumes, the volume's GUID and serial. A
// folder the job has copies in is written to only while it holds the mark, so a disk that is
// not connected (an empty mount point, a drive letter now given to another disk) is never
// filled with a new copy.

// A target folder that is absent, or present without the job's mark. Its text contains
// "未连接" and names the folder.
inline constexpr std::string_view kNotConnectedWord = "未连接";

class TargetNotConnected : public BackupError {
public:
    using BackupError::BackupError;
};

// Throws TargetNotConnected when `error`, met while writing in the target folder `folder`,
// says the disk or network place is not there (platform/ErrorText.h); returns otherwise.
void throwIfNotConnected(const std::filesystem::path& folder, const std::error_code& error);

std::filesystem::path markFile(const std::filesystem::path& folder, std::string_view jobKey);

// Makes sure `folder` is the job's own before a run writes there, and returns the folder to
// write to: `folder`, or where its marked volume is mounted now when the drive letter
// changed. A folder in which the job has no recorded copy is new to it: made when missing,
// and marked. A known folder must hold the mark; one that holds the job's recorded copies
// but no mark (made before marks existed) is marked. Throws TargetNotConnected otherwise,
// having made nothing; BackupError when the mark cannot be written.
std::filesystem::path claimTarget(const Workspace& ws, BackupRecordStore& store,
                                  const JobPlaces& places, const std::filesystem::path& folder,
                                  Volumes& volumes);

// The warning for a target folder on a mapped network drive, which a timetable running
// before the drive is mapped (or as another user) does not see, naming its UNC form; none
// for any other folder.
std::optional<std::string> networkDriveWarning(std::string_view targetFolder, Volumes& volumes);

// Whether the target folder of `settings` holds the job's mark now. Reads only.
bool targetMarked(const Workspace& ws, const TBackupSettings& settings);

// Why the target folder of `settings` is not connected, as status says it; none when it
// is, when the job has no copy there, or when the settings name none. Reads only.
std::optional<std::string> targetNotConnected(const Workspace& ws, const TBackupSettings& settings);

}  // namespace vantrel
