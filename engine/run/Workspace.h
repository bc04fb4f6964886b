#pragma once

#include <filesystem>

#include "engine/run/BackupUi.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace vantrel {

// One instance of the program: its working directory and the services the engine uses.
// Each working directory has its own "config.ini", "wenjianming.mdb" and "Log".
struct Workspace {
    std::filesystem::path dir;  // absolute working directory
    FileOps& files;
    const Clock& clock;
    BackupUi& ui;

    std::filesystem::path configFile() const { return dir / "config.ini"; }
    std::filesystem::path databaseFile() const { return dir / "wenjianming.mdb"; }
    std::filesystem::path logFile() const { return dir / "Log" / "FileBackupLog.log"; }
    std::filesystem::path lockFile() const { return dir / "vantrel.lock"; }
};

}  // namespace vantrel
