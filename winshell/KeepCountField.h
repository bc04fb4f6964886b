#pragma once

#include <windows.h>

namespace vantrel {

// Makes `field` the keep-count field: keys and pastes that would make its text anything but a
// number are dropped without a sound, and leaving it, changed, for another control of its
// window posts kCommitKeepCount to that window.
void makeKeepCountField(HWND field);

}  // namespace vantrel
