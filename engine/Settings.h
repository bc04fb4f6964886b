#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/Workspace.h"

namespace vantrel {

// The messages for an empty source or target, shown by the save command and the run alike.
inline constexpr std::string_view kNoSourceMessage = "请输入要备份的文件地址！";
inline constexpr std::string_view kNoTargetMessage = "请输入备份文件的目的地址！";

// The day boxes' captions, Monday first; Tuesday's and Saturday's end in a blank.
extern const std::array<std::string_view, 7> kDayCaptions;
// The day names without blanks, Monday first, as searched for in a DayList.
extern const std::array<std::string_view, 7> kDayNames;

// Each ticked day's caption followed by ";", Monday to Sunday.
std::string BuildDayList(const std::array<bool, 7>& days);
// A day is in the list when its name (no blanks) occurs in it as a substring.
bool dayListHas(std::string_view dayList, std::string_view dayName);

// "H:mm:ss", as written to the settings file.
std::string formatRunTime(const TimeOfDay& time);
// Accepts "H:mm", "H:mm:ss" and 12-hour forms with "AM"/"PM" or "上午"/"下午" before or
// after the time. Throws BackupError naming the value otherwise.
TimeOfDay parseRunTime(std::string_view text);

// Checks the settings in the order of the save command. Returns the message of the first
// failing test, or nothing when they are valid.
std::optional<std::string> validateSettings(const TBackupSettings& settings);

// Validates (showing the message and returning false on refusal), then writes the keys
// of section "备份设置" to "config.ini" at once. Status panel 1 reads "配置文件保存完毕!" or,
// when the file cannot be written (or a value holds a line break), "配置文件保存失败!"; both
// return true. The old file stays whole when the write fails.
bool SaveSettings(Workspace& ws, const TBackupSettings& settings);

// Fills the settings from "config.ini": source and target emptied and RunTime set to now
// first; a missing file stops there. The file's DayList ticks exactly the days it names.
// A bad value throws BackupError, leaving the fields read before it filled.
void LoadSettings(Workspace& ws, TBackupSettings& settings);

// Remembers in "config.ini" whether the user's timetable is started (key "备份计划已启动",
// "1" or "0"), so that it starts again when the window does. A file that cannot be written
// throws BackupError.
void rememberTimetable(Workspace& ws, bool started);

}  // namespace vantrel
