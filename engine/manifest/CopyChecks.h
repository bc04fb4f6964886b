#pragma once

#include <cstdint>
#include <filesystem>
#include <map>

#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace vantrel {

// The last check of a copy against its manifest.
struct CopyCheck {
    LocalTime when{};
    bool intact = false;
    // Whether the contents were compared too: a copy recorded without hashes is checked for
    // everything else only.
    bool contentsChecked = true;
};

// Keeps the outcome of checking the copy of row `recordId`, in table vantrel_copy_check of
// the record database (made when missing). Throws BackupError naming the file.
void recordCheck(const std::filesystem::path& dbFile, std::int64_t recordId, LocalTime when,
                 bool intact, bool contentsChecked = true);
// The last check of each copy, by row; empty without a database or checks. Reads only.
std::map<std::int64_t, CopyCheck> copyChecks(FileOps& files, const std::filesystem::path& dbFile);

}  // namespace vantrel
