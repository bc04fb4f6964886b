#pragma once

#include <windows.h>

#include "winshell/Handles.h"

namespace vantrel {

// An icon of `module` (the system's own for nullptr, such as IDI_QUESTION) at `size` pixels,
// scaled down from a larger image where it has none of that size.
IconHandle loadIcon(HINSTANCE module, const wchar_t* name, int size);

// The program's icon at `size` pixels, from the one in the executable (16 to 256).
IconHandle appIcon(int size);
// The program's icon with a red mark in its lower right corner: the job failed or is overdue.
IconHandle alarmIcon(int size);

}  // namespace vantrel
