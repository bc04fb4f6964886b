#pragma once

#include <windows.h>

#include <span>
#include <vector>

#include "engine/Settings.h"
#include "winshell/Fonts.h"

namespace vantrel {

// What a control of the main window is, which decides its window class and how its text is
// measured.
enum class ControlKind {
    GroupBox,
    Label,
    Heading,
    HelpText,  // one line group of the help text, its lines broken by "\n"
    ReadOnlyEdit,
    Edit,  // a line of text the user types
    Button,
    CheckBox,
    TimePicker,
    NumberEdit,
    CountEdit,  // a whole number: digits only
    StatusArea,
};

// Where a control's position counts from.
enum class Container { Client, GroupBox1, GroupBox2 };

// One control of the main window: its id, caption (UTF-8) and place at 96 DPI. A width or
// height of 0 is the text's own.
struct ControlPlan {
    int id;
    ControlKind kind;
    const char* text;
    Container in;
    int left, top, width, height;
};

// The main window's controls in their tab order, top to bottom as the window reads.
std::span<const ControlPlan> mainControls();

// A control that shows a setting: a tick box its flag, an edit its text. The day boxes and
// the time picker show theirs as a whole.
struct SettingControl {
    int id;
    Setting setting;
};

// Each control of the main window that shows a setting, with its setting.
std::span<const SettingControl> settingControls();

struct PlacedControl {
    int id;
    RECT rect;  // in the client area, at the layout's DPI
};

struct MainLayout {
    std::vector<PlacedControl> controls;  // in the order of mainControls()
    SIZE client;                          // the client area, the status bar included
    int statusParts[2];                   // right edges of the status bar's two panels
    RECT progress;                        // the progress bar and 取消 in the status bar
    RECT cancel;

    const RECT& rectOf(int id) const;
};

// The main window laid out at `dpi`: the 96-DPI places scaled, then each control made as
// large as its text needs in `fonts` (measured in `dc`), a field moved right of a label that
// grew into it, the exclusion row fitted left of 恢复文件… and the row under it moved below it,
// and a help line group moved below the one above where they would meet.
MainLayout layoutMainWindow(HDC dc, const Fonts& fonts, UINT dpi, int statusBarHeight);

// The text a control needs room for, in its font, with no line broken: the size measured.
SIZE measureText(HDC dc, HFONT font, const char* utf8);

// The work area (the screen less the taskbar) of the monitor the window is on.
RECT workAreaOf(HWND window);
// Moves the window, keeping its size, to the middle of `over`.
void centreWindow(HWND window, const RECT& over);

// Each column of a list view in report style as wide as its widest cell and its heading.
void fitListColumns(HWND list, std::span<const wchar_t* const> headings);

// The log viewer's size, outer frame included, at 96 DPI.
inline constexpr SIZE kLogWindowSize{771, 537};

}  // namespace vantrel
