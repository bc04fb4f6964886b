#pragma once

#include <filesystem>

#include <QString>

namespace vantrel {

// Where the window works: the folder holding one job's config.ini, records and log.
enum class JobFolder {
    Current,  // the current directory, as when the program is started in a job's folder
    Given,    // the folder the --workdir option names, relative to the current directory
    User,     // the per-user job folder (--user-job, the menu entry's), made when missing
};

// The working directory for `choice` (`given` is the --workdir text). Empty when it is not a
// usable directory; `problem` then holds the message for the user.
std::filesystem::path chooseWorkingDirectory(JobFolder choice, const QString& given,
                                             QString& problem);

}  // namespace vantrel
