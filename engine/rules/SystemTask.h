#pragma once

#include <filesystem>
#include <string>

#include "engine/BackupSettings.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// The job's own entry in the system's scheduler, so that its timetable runs while no window
// is open: a per-user Task Scheduler task on Windows, the job's systemd user timer elsewhere.
// What the entry holds is made here; platform/SystemScheduler.h registers it.

// "Vantrel <eight hex digits of the job>": one task per working directory.
std::string systemTaskName(const Workspace& ws);

// The Task Scheduler task (schema 1.2, as UTF-8 text): a weekly trigger at the fire instant
// of each ticked day, a missed start made up as soon as possible when catch-up is on, started
// and kept on battery, no time limit, the job folder as the working directory, and
// `program --backup` (the window's program, which makes the backup without a window).
std::string taskXml(const TBackupSettings& settings, const std::filesystem::path& jobDir,
                    const std::filesystem::path& program);

// The drop-in of the job's vantrel-backup@.timer: the fire instants of the ticked days in
// place of the shipped daily one, Persistent (made up after boot) when catch-up is on.
std::string timerDropIn(const TBackupSettings& settings);

// The job's entry as this system's scheduler takes it: the task's name and XML on Windows
// (running `program --backup`), the timer's instance and drop-in elsewhere.
struct SystemTaskEntry {
    std::string name;
    std::string definition;
};
SystemTaskEntry systemTaskEntry(const Workspace& ws, const TBackupSettings& settings,
                                const std::filesystem::path& program);

// The systemd instance name of the job folder, as `systemd-escape --path` makes it.
std::string unitInstance(const std::filesystem::path& jobDir);

}  // namespace vantrel
