#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/run/Workspace.h"

namespace vantrel {

// Every setting of a job, in the order of its key in config.ini (section "备份设置").
enum class Setting {
    Source,
    Target,
    Time,
    Days,
    Keep,
    ExcludeRules,
    KeepMonthly,
    KeepYearly,
    StartAtLaunch,
    CatchUp,
    Share,
    SystemTask,
    Guard,
    NotifyUrl,
    NotifyAll,
    NotifySecret,
    // Never written by the save command, so it stays last: a new setting goes above it.
    TimetableStarted,
};
inline constexpr std::size_t kSettingCount =
    static_cast<std::size_t>(Setting::TimetableStarted) + 1;

// How a setting's text reads: a window shows a Flag as a tick box, Time as the time picker,
// Days as the seven day boxes and every other kind as a line of text.
enum class SettingKind { Text, Time, Days, KeepCount, Count, Flag };

// When the save command writes a setting's key.
enum class SettingStored {
    Always,
    // Once its value is not the default, or the file has the key: the files of users who
    // never set it keep their keys as they were.
    OnceSet,
    // Never by the save command; rememberTimetable writes it.
    ByTimetable,
};

// One setting: its key, its default and how its text is read, written and refused. Every
// text, in the file and in the window's fields alike, is the one `format` gives.
struct SettingRow {
    Setting id;
    std::string_view key;  // in config.ini
    SettingKind kind;
    SettingStored stored;
    std::string_view defaultText;  // the value of a file without the key
    // Why config.ini's text is no value, in the message naming it ("不是有效的数值"); empty
    // when every text is taken.
    std::string_view badValue;
    // A value the save command refuses is named on loading too, and kept in the field.
    bool refusedOnLoad = false;
    std::string (*format)(const TBackupSettings&) = nullptr;
    // Takes `text` into the settings. Text that is no value leaves one the save command
    // refuses and returns false.
    bool (*parse)(std::string_view text, TBackupSettings&) = nullptr;
    // The save command's message for a value it refuses; none when it takes the value.
    std::optional<std::string> (*refusal)(const TBackupSettings&) = nullptr;
};

// Every setting, in the order of its key in config.ini.
std::span<const SettingRow> settingRows();
const SettingRow& settingRow(Setting id);

// The one reading of a flag: "1" on, "0" off, blanks and control characters around them
// ignored; any other text is the default.
bool parseFlag(std::string_view text, bool byDefault);
// The one reading of a count of months or years: digits alone, blanks and control characters
// around them ignored; empty is 0. None for any other text.
std::optional<int> parseCount(std::string_view text);

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

// Checks the settings in the order of the save command (source, target, days, keep count,
// months, years, rules). Returns the message of the first failing test, or nothing when
// they are valid.
std::optional<std::string> validateSettings(const TBackupSettings& settings);

// Validates (showing the message and returning false on refusal), then writes the keys
// of section "备份设置" to "config.ini" at once. Status panel 1 reads "配置文件保存完毕!" or,
// when the file cannot be written (or a value holds a line break), "配置文件保存失败!"; both
// return true. The old file stays whole when the write fails.
bool SaveSettings(Workspace& ws, const TBackupSettings& settings);

// Fills the settings from "config.ini": every setting set to its default and RunTime to now
// first; a missing file stops there. The file's DayList ticks exactly the days it names.
// A bad value throws BackupError, leaving the fields read before it filled.
void LoadSettings(Workspace& ws, TBackupSettings& settings);

// Remembers in "config.ini" whether the user's timetable is started (key "备份计划已启动",
// "1" or "0"), so that it starts again when the window does. A file that cannot be written
// throws BackupError.
void rememberTimetable(Workspace& ws, bool started);

}  // namespace vantrel
