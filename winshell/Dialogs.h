#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/JobView.h"

namespace vantrel {

// The windows' questions and messages as plain Windows dialogs: the text in a static control,
// the buttons with the standard ids, so that screen readers, automation and the UI tests can
// read and answer them. Text is UTF-8.

// The plain message box: no icon, the caption "Vantrel", one OK button.
void showMessage(HWND owner, std::string_view text);

// The plain box with a list under its text, one entry a line, in a read-only text that
// scrolls (IDC_LISTTEXT); OK (IDOK) or Escape closes it.
void showList(HWND owner, std::string_view text, const std::vector<std::string>& items);

// The confirmation box: caption "Confirm", the question icon, "&Yes" (IDYES, the default) and
// "&No" (IDNO). Escape and the box's close button answer No. True for Yes.
bool confirm(HWND owner, std::string_view question);

// The question on unsaved changes, in the confirmation box's form: 保存 (IDYES, the default),
// 不保存 (IDNO) and 取消 (IDCANCEL), which Escape and the close button answer too.
SaveAnswer askSave(HWND owner, std::string_view question);

// The shell's folder browser with `prompt` above its tree: folders of the file system only,
// no button for a new folder, centred on the screen. The chosen folder's path, or nothing
// when cancelled.
std::optional<std::string> pickFolder(HWND owner, std::string_view prompt);

}  // namespace vantrel
