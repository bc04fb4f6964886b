#include "engine/Settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <utility>
#include <vector>

#include "engine/BackupError.h"
#include "engine/TextRules.h"
#include "engine/places/RunTarget.h"
#include "engine/places/TargetMark.h"
#include "engine/rules/Exclusions.h"
#include "engine/rules/KeepCount.h"
#include "platform/IniFile.h"

namespace vantrel {

const std::array<std::string_view, 7> kDayCaptions = {"星期一", "星期二 ", "星期三", "星期四",
                                                      "星期五", "星期六 ", "星期日"};
const std::array<std::string_view, 7> kDayNames = {"星期一", "星期二", "星期三", "星期四",
                                                   "星期五", "星期六", "星期日"};

namespace {

constexpr std::string_view kSection = "备份设置";

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Reads 1 or 2 digits at `pos`; -1 when there are none.
int readField(std::string_view s, size_t& pos) {
    int value = 0;
    size_t digits = 0;
    while (pos < s.size() && digits < 2 && s[pos] >= '0' && s[pos] <= '9') {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits == 0 ? -1 : value;
}

// A morning/afternoon marker at the start or end of `s`, removed from it: 0 none, 1 AM, 2 PM.
int takeMarker(std::string_view& s) {
    static const std::pair<std::string_view, int> kMarkers[] = {
        {"AM", 1}, {"PM", 2}, {"上午", 1}, {"下午", 2}};
    for (const auto& [marker, kind] : kMarkers) {
        if (startsWithNoCase(s, marker)) {
            s = trimControls(s.substr(marker.size()));
            return kind;
        }
        if (s.size() >= marker.size() &&
            startsWithNoCase(s.substr(s.size() - marker.size()), marker)) {
            s = trimControls(s.substr(0, s.size() - marker.size()));
            return kind;
        }
    }
    return 0;
}

// The file trims blanks around a value and removes one pair of enclosing quotes; a value
// that would lose something that way is written quoted, so it reads back unchanged.
std::string quotedIfNeeded(const std::string& value) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool needs =
        !value.empty() && (blank(value.front()) || blank(value.back()) ||
                           (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
    return needs ? '"' + value + '"' : value;
}

std::string tooLongToSave(std::string_view key) {
    return "“" + std::string(key) + "”的内容超过 " + std::to_string(IniFile::kMaxValueBytes) +
           " 字节，无法保存到配置文件！";
}

// One line of the message about values that were not taken: the setting, its value and why.
std::string badValue(std::string_view key, std::string_view text, std::string_view why) {
    return "config.ini 中“" + std::string(key) + "”的值“" + std::string(text) + "”无效：" +
           std::string(why) + "。";
}

std::string tooLongToLoad(std::string_view key) {
    return "配置文件中“" + std::string(key) + "”的内容超过 " +
           std::to_string(IniFile::kMaxValueBytes) + " 字节，未采用这些设置！";
}

}  // namespace

std::string BuildDayList(const std::array<bool, 7>& days) {
    std::string list;
    for (size_t i = 0; i < days.size(); ++i) {
        if (days[i]) {
            list += kDayCaptions[i];
            list += ';';
        }
    }
    return list;
}

bool dayListHas(std::string_view dayList, std::string_view dayName) {
    return dayList.find(dayName) != std::string_view::npos;
}

std::string formatRunTime(const TimeOfDay& time) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%d:%02d:%02d", time.hour, time.minute, time.second);
    return buffer;
}

TimeOfDay parseRunTime(std::string_view text) {
    const auto bad = [&]() -> BackupError {
        return BackupError("“" + std::string(text) + "”不是有效的时间");
    };
    std::string_view s = trimControls(text);
    const int marker = takeMarker(s);
    size_t pos = 0;
    TimeOfDay t;
    t.hour = readField(s, pos);
    if (t.hour < 0 || pos >= s.size() || s[pos] != ':') {
        throw bad();
    }
    ++pos;
    t.minute = readField(s, pos);
    if (t.minute < 0) {
        throw bad();
    }
    if (pos < s.size() && s[pos] == ':') {
        ++pos;
        t.second = readField(s, pos);
        if (t.second < 0) {
            throw bad();
        }
    }
    if (pos != s.size() || t.minute > 59 || t.second > 59) {
        throw bad();
    }
    if (marker == 0) {
        if (t.hour > 23) {
            throw bad();
        }
    } else {
        if (t.hour < 1 || t.hour > 12) {
            throw bad();
        }
        t.hour %= 12;
        if (marker == 2) {
            t.hour += 12;
        }
    }
    return t;
}

namespace {

using Kind = SettingKind;
using Stored = SettingStored;

std::optional<std::string> refusedIf(bool refused, std::string_view message) {
    return refused ? std::optional<std::string>(message) : std::nullopt;
}

template <std::string TBackupSettings::*field>
constexpr SettingRow textRow(Setting id, std::string_view key, Stored stored,
                             std::optional<std::string> (*refusal)(const TBackupSettings&),
                             bool refusedOnLoad = false) {
    return {id,
            key,
            Kind::Text,
            stored,
            "",
            "",
            refusedOnLoad,
            [](const TBackupSettings& s) { return s.*field; },
            [](std::string_view text, TBackupSettings& s) {
                s.*field = std::string(text);
                return true;
            },
            refusal};
}

// A whole number of days, months or years; text that is no count is kept as -1, which
// `refusal` refuses.
template <int TBackupSettings::*field>
constexpr SettingRow countRow(Setting id, std::string_view key, std::string_view defaultText,
                              std::optional<std::string> (*refusal)(const TBackupSettings&)) {
    return {id,
            key,
            Kind::Count,
            Stored::OnceSet,
            defaultText,
            "不是不小于 0 的整数",
            false,
            [](const TBackupSettings& s) { return std::to_string(s.*field); },
            [](std::string_view text, TBackupSettings& s) {
                const std::optional<int> count = parseCount(text);
                s.*field = count.value_or(-1);
                return count.has_value();
            },
            refusal};
}

template <bool TBackupSettings::*field, bool byDefault>
constexpr SettingRow flagRow(Setting id, std::string_view key, Stored stored = Stored::OnceSet) {
    return {id,
            key,
            Kind::Flag,
            stored,
            byDefault ? "1" : "0",
            "",
            false,
            [](const TBackupSettings& s) { return std::string(s.*field ? "1" : "0"); },
            [](std::string_view text, TBackupSettings& s) {
                s.*field = parseFlag(text, byDefault);
                return true;
            }};
}

constexpr SettingRow kRows[] = {
    textRow<&TBackupSettings::SourcePath>(
        Setting::Source, "备份文件源地址", Stored::Always,
        [](const TBackupSettings& s) { return refusedIf(s.SourcePath.empty(), kNoSourceMessage); }),
    textRow<&TBackupSettings::TargetFolder>(Setting::Target, "备份文件目的地址", Stored::Always,
                                            [](const TBackupSettings& s) {
                                                return refusedIf(s.TargetFolder.empty(),
                                                                 kNoTargetMessage);
                                            }),
    {Setting::Time, "定时时刻", Kind::Time, Stored::Always, "", "不是有效的时间", false,
     [](const TBackupSettings& s) { return formatRunTime(s.RunTime); },
     [](std::string_view text, TBackupSettings& s) {
         if (text.empty()) {
             return true;  // the time stays at its default: now
         }
         try {
             s.RunTime = parseRunTime(text);
             return true;
         } catch (const BackupError&) {
             return false;
         }
     }},
    {Setting::Days, "备份频率", Kind::Days, Stored::Always, "", "", false,
     [](const TBackupSettings& s) { return BuildDayList(s.Days); },
     [](std::string_view text, TBackupSettings& s) {
         // A day is ticked when the list names it, so an older file's list reads the same.
         for (size_t i = 0; i < kDayNames.size(); ++i) {
             s.Days[i] = dayListHas(text, kDayNames[i]);
         }
         return true;
     },
     [](const TBackupSettings& s) {
         bool anyDay = false;
         for (const bool day : s.Days) {
             anyDay = anyDay || day;
         }
         return refusedIf(!anyDay, "请选定备份日期！");
     }},
    {Setting::Keep, "备份个数", Kind::KeepCount, Stored::Always, "", "不是有效的数值", false,
     [](const TBackupSettings& s) {
         return s.KeepCount ? formatKeepCount(*s.KeepCount) : std::string();
     },
     [](std::string_view text, TBackupSettings& s) {
         try {
             s.KeepCount = parseKeepCount(text);  // not raised to 1
             return true;
         } catch (const BackupError&) {
             s.KeepCount = 0;  // no valid count
             return false;
         }
     },
     [](const TBackupSettings& s) {
         if (!s.KeepCount) {
             return std::optional<std::string>("请输入备份个数！");
         }
         return refusedIf(*s.KeepCount < 1, "备份个数输入不合法！");
     }},
    // Malformed rules stay in the field to be mended; no run takes them.
    textRow<&TBackupSettings::ExcludeRules>(
        Setting::ExcludeRules, "排除规则", Stored::OnceSet,
        [](const TBackupSettings& s) { return Exclusions::problem(s.ExcludeRules); }, true),
    countRow<&TBackupSettings::KeepMonthly>(Setting::KeepMonthly, "按月保留", "0",
                                            [](const TBackupSettings& s) {
                                                return refusedIf(s.KeepMonthly < 0,
                                                                 "按月保留的个数输入不合法！");
                                            }),
    countRow<&TBackupSettings::KeepYearly>(Setting::KeepYearly, "按年保留", "0",
                                           [](const TBackupSettings& s) {
                                               return refusedIf(s.KeepYearly < 0,
                                                                "按年保留的个数输入不合法！");
                                           }),
    flagRow<&TBackupSettings::StartScheduleAtLaunch, false>(Setting::StartAtLaunch,
                                                            "启动时执行备份计划"),
    flagRow<&TBackupSettings::CatchUpMissed, false>(Setting::CatchUp, "补做错过的备份"),
    flagRow<&TBackupSettings::ShareUnchanged, false>(Setting::Share, "共享未改动的文件"),
    flagRow<&TBackupSettings::SystemTask, false>(Setting::SystemTask, "系统计划任务"),
    // On unless turned off.
    flagRow<&TBackupSettings::GuardMassChanges, true>(Setting::Guard, "异常变化保护"),
    // Alerts to a web address. A malformed address never stops a backup: sending says what is
    // wrong with it.
    textRow<&TBackupSettings::NotifyUrl>(Setting::NotifyUrl, "通知网址", Stored::OnceSet, nullptr),
    flagRow<&TBackupSettings::NotifyAll, false>(Setting::NotifyAll, "通知所有结果"),
    textRow<&TBackupSettings::NotifySecret>(Setting::NotifySecret, "通知密钥", Stored::OnceSet,
                                            nullptr),
    flagRow<&TBackupSettings::TimetableStarted, false>(Setting::TimetableStarted, "备份计划已启动",
                                                       Stored::ByTimetable),
};

constexpr bool rowsInOrder() {
    for (size_t i = 0; i < std::size(kRows); ++i) {
        if (static_cast<size_t>(kRows[i].id) != i) {
            return false;
        }
    }
    return std::size(kRows) == kSettingCount;
}
static_assert(rowsInOrder(), "one row per setting, in the order of Setting");

// The order refusals are told in, on saving and on loading alike; settings not named here
// follow in the order of the file.
constexpr Setting kCheckOrder[] = {Setting::Source,     Setting::Target,      Setting::Days,
                                   Setting::Keep,       Setting::Time,        Setting::KeepMonthly,
                                   Setting::KeepYearly, Setting::ExcludeRules};

std::vector<const SettingRow*> rowsInCheckOrder() {
    std::vector<const SettingRow*> rows;
    for (const Setting id : kCheckOrder) {
        rows.push_back(&settingRow(id));
    }
    for (const SettingRow& row : kRows) {
        if (std::find(rows.begin(), rows.end(), &row) == rows.end()) {
            rows.push_back(&row);
        }
    }
    return rows;
}

}  // namespace

std::span<const SettingRow> settingRows() {
    return kRows;
}

const SettingRow& settingRow(Setting id) {
    return kRows[static_cast<size_t>(id)];
}

bool parseFlag(std::string_view text, bool byDefault) {
    text = trimControls(text);
    return text == "1" ? true : text == "0" ? false : byDefault;
}

std::optional<int> parseCount(std::string_view text) {
    text = trimControls(text);
    if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<std::string> validateSettings(const TBackupSettings& settings) {
    for (const SettingRow* row : rowsInCheckOrder()) {
        if (row->refusal) {
            if (auto message = row->refusal(settings)) {
                return message;
            }
        }
    }
    return std::nullopt;
}

bool SaveSettings(Workspace& ws, const TBackupSettings& settings) {
    if (const auto message = validateSettings(settings)) {
        ws.ui.showMessage(*message);
        return false;
    }
    if (!checkTargetOutsideSource(ws, settings)) {
        return false;
    }
    try {
        IniFile ini(ws.configFile());
        std::vector<std::pair<const SettingRow*, std::string>> values;
        for (const SettingRow& row : settingRows()) {
            if (row.stored != SettingStored::ByTimetable) {
                values.emplace_back(&row, row.format(settings));
            }
        }
        // A value the file would hand back cut short is refused, never saved.
        for (const auto& [row, value] : values) {
            if (!ini.fitsWhole(value)) {
                ws.ui.showMessage(tooLongToSave(row->key));
                return false;
            }
        }
        for (const auto& [row, value] : values) {
            if (row->stored == SettingStored::Always || value != row->defaultText ||
                !ini.read(kSection, row->key).empty()) {
                ini.write(kSection, row->key, quotedIfNeeded(value));
            }
        }
        ini.save();
    } catch (const std::exception&) {
        ws.ui.setStatus("配置文件保存失败!");
        return true;
    }
    ws.ui.setStatus("配置文件保存完毕!");
    if (const auto warning = networkDriveWarning(settings.TargetFolder, systemVolumes())) {
        ws.ui.showMessage(*warning);
    }
    return true;
}

void rememberTimetable(Workspace& ws, bool started) {
    try {
        IniFile ini(ws.configFile());
        TBackupSettings settings;
        settings.TimetableStarted = started;
        const SettingRow& row = settingRow(Setting::TimetableStarted);
        ini.write(kSection, row.key, row.format(settings));
        ini.save();
    } catch (const std::exception& e) {
        throw BackupError(e.what());
    }
}

void LoadSettings(Workspace& ws, TBackupSettings& settings) {
    using namespace std::chrono;
    for (const SettingRow& row : settingRows()) {
        row.parse(row.defaultText, settings);
    }
    const LocalTime now = ws.clock.now();
    const hh_mm_ss<milliseconds> clock{now - floor<days>(now)};
    settings.RunTime = {static_cast<int>(clock.hours().count()),
                        static_cast<int>(clock.minutes().count()),
                        static_cast<int>(clock.seconds().count())};

    std::error_code ec;
    if (!std::filesystem::exists(ws.configFile(), ec)) {
        return;
    }
    std::optional<IniFile> ini;
    try {
        ini.emplace(ws.configFile());
    } catch (const std::exception& e) {
        throw BackupError(e.what());
    }

    for (const SettingRow& row : settingRows()) {
        if (row.kind != SettingKind::Flag && !ini->fitsWhole(kSection, row.key)) {
            throw BackupError(tooLongToLoad(row.key));
        }
    }
    // Every setting is read: a bad value is left out (its field at its default), and one
    // message at the end names each.
    std::array<std::optional<std::string>, kSettingCount> problems;
    for (const SettingRow& row : settingRows()) {
        const std::string text = ini->read(kSection, row.key);
        std::optional<std::string>& problem = problems[static_cast<size_t>(row.id)];
        if (!row.parse(text, settings)) {
            problem = badValue(row.key, text, row.badValue);
            row.parse(row.defaultText, settings);
        } else if (row.refusedOnLoad) {
            if (auto refusal = row.refusal(settings)) {
                problem = "config.ini 中的" + *refusal;
            }
        }
    }
    std::string message;
    for (const SettingRow* row : rowsInCheckOrder()) {
        if (const auto& problem = problems[static_cast<size_t>(row->id)]) {
            message += *problem + "\n";
        }
    }
    if (!message.empty()) {
        throw BackupError(message + "这些值未采用，其余设置已载入。");
    }
}

}  // namespace vantrel
