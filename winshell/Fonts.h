#pragma once

#include <windows.h>

#include "winshell/Handles.h"

namespace vantrel {

// The fonts of the windows at one DPI.
struct Fonts {
    // The system's UI font, or another face of the system's that has Chinese: Arial, which
    // the window was drawn with once, has none.
    FontHandle ui;
    FontHandle heading;  // red "Vantrel": 21 px in 华文行楷 or another Kai face where missing
    FontHandle picker;   // the time picker's 19 px
    FontHandle logText;  // the log viewer's 12 px bold

    static Fonts forDpi(UINT dpi);
};

// A length in the 96-DPI units the windows are drawn in, at `dpi`.
inline int scaled(int length, UINT dpi) {
    return MulDiv(length, static_cast<int>(dpi), 96);
}

}  // namespace vantrel
