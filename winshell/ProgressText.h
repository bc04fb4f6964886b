#pragma once

#include <windows.h>

#include "winshell/Fonts.h"

namespace vantrel {

// Makes the progress bar `bar` draw its window text (the share done and the time left)
// centred over the bar, in the ui font of `fonts`, which must outlive the bar.
void showTextOnProgressBar(HWND bar, const Fonts& fonts);

}  // namespace vantrel
