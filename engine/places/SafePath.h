#pragma once

#include <string_view>

namespace vantrel {

// Records are input too: a manifest row, a record row or a journal row may have been edited
// or damaged, and a path taken from one is checked before anything is read or written there.

// Whether `path`, a path a record keeps below the folder it belongs to (a manifest entry
// below its copy's top, a name in the target folder), stays inside that folder: not empty,
// relative, "/" between names, no empty, "." or ".." name and no NUL byte; on Windows no "\"
// or ":" either (another separator, a drive, a stream).
bool isSafeRelativePath(std::string_view path);

// Whether `recordPath`, the place a record row gives for a copy, may be read as one: no ".."
// name after any other name (a relative target folder may start with them) and a last name
// shaped as a copy's ("<name>_yyyymmdd").
bool isSafeCopyPlace(std::string_view recordPath);

}  // namespace vantrel
