#pragma once

#include <filesystem>

#include <QString>

namespace vantrel {

// The window's working directory, which holds one job's config.ini, records and log: `given`
// (the --workdir option; relative to the current directory) when not empty, else the
// per-user data folder, created when missing. Empty when that is not a usable directory;
// `problem` then holds the message for the user.
std::filesystem::path chooseWorkingDirectory(const QString& given, QString& problem);

}  // namespace vantrel
