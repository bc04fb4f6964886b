#pragma once

#include <filesystem>
#include <string_view>

#include "engine/restore/Restore.h"
#include "engine/run/Workspace.h"

namespace vantrel::cli {

// Exit statuses of the commands.
// kWarning: the backup was made, but some entries could not be copied or an old copy could
// not be deleted. `status` exits with the job's health instead: 0 OK, 3 warning, 4 failed,
// overdue or never backed up.
enum ExitStatus { kOk = 0, kFailed = 1, kRefused = 2, kWarning = 3 };

// Cancels the run under way, its history row keeping `why` (a literal), and ends `schedule`.
// Safe in a signal handler and on the console's control thread.
void cancelForShutdown(const char* why);
// Whether a backup is being made now: a run cancelled by cancelForShutdown has been recorded
// once this is false.
bool runUnderWay();

// Each command works on the workspace of the current directory and returns its exit status.
int runBackup(Workspace& ws);
int runSchedule(Workspace& ws);
int printLog(Workspace& ws);
int printList(Workspace& ws);
int printStatus(Workspace& ws);
int printHistory(Workspace& ws);
// Checks the newest copy, or the newest of `date` ("yyyymmdd"), against its manifest.
int verifyCopy(Workspace& ws, std::string_view date);
// Restores `files` files at random and the largest few into a scratch folder and compares them.
int drill(Workspace& ws, std::size_t files);
// The versions of a file or folder in the job's copies, newest first.
int printVersions(Workspace& ws, std::string_view path);
// Brings files back from the copies.
int restore(Workspace& ws, const RestoreRequest& request);
// What the newest copy, or the copy of `date`, changed against the job's previous copy.
int printChanges(Workspace& ws, std::string_view date);
// Confirms the changes the guard holds pruning back for.
int confirmChanges(Workspace& ws);
// Lists what the exclusion rules leave out of the source now.
int printExcluded(Workspace& ws);
// Marks the copy of `date` ("yyyymmdd") kept for good, or no longer.
int pinCopy(Workspace& ws, std::string_view date, bool pinned);
// `task install`, `task remove`, `task status`: the job's own entry in the system's scheduler
// (Task Scheduler on Windows, running `windowProgram --backup`; the job's systemd user timer
// elsewhere), made from the timetable in config.ini.
int manageTask(Workspace& ws, std::string_view action, const std::filesystem::path& windowProgram);
// task remove --all: every job's system task of this user, wherever its folder is; needs no
// job folder.
int removeEveryTask();
// Sends a test alert to 通知网址: kOk when the server took it, kFailed with the reason
// otherwise, kRefused when no address is set.
int notifyTest(Workspace& ws);
// Shows what the next prune would do to each copy, deleting nothing.
int previewPrune(Workspace& ws);

}  // namespace vantrel::cli
