#pragma once

#include <sys/stat.h>

#include "platform/FileStat.h"

namespace vantrel::posix {

// What a stat of an entry says, in the platform's own form.
EntryStat entryStatOf(const struct stat& st);

}  // namespace vantrel::posix
