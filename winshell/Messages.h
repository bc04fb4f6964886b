#pragma once

#include <windows.h>

namespace vantrel {

// The program's own window messages: each number means one thing in every window.

// Sent by a later start in the same working directory to the main window: come to the front.
// Kept at WM_APP + 1, which a running older version also understands.
inline constexpr UINT kActivateMessage = WM_APP + 1;
// Posted by a window to itself for work another thread handed it (Window::postWork); it
// carries nothing itself.
inline constexpr UINT kPostedMessage = WM_APP + 2;
// Posted by the keep-count field to its window once the focus has left it, changed.
inline constexpr UINT kCommitKeepCount = WM_APP + 3;
// Posted by the restore window to itself once a change of the entries chosen has settled.
inline constexpr UINT kEntriesChosen = WM_APP + 4;
// Sent by the main window's tray icon to it: the mouse or keyboard message in lParam.
inline constexpr UINT kTrayMessage = WM_APP + 5;
// Posted by the main window to itself for the path a later start handed over with
// WM_COPYDATA: opened once its sender has been answered.
inline constexpr UINT kOpenRestorePath = WM_APP + 6;
// The WM_COPYDATA tag of a later start with --restore: its path (UTF-16, no terminator).
inline constexpr ULONG_PTR kRestorePathData = 0x56524553;  // "VRES"

}  // namespace vantrel
