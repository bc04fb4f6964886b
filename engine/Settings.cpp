#include "engine/Settings.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/BackupError.h"
#include "engine/BackupJob.h"
#include "engine/Exclusions.h"
#include "engine/KeepCount.h"
#include "engine/TargetMark.h"
#include "engine/TextRules.h"
#include "platform/IniFile.h"

namespace vantrel {

const std::array<std::string_view, 7> kDayCaptions = {"星期一", "星期二 ", "星期三", "星期四",
                                                      "星期五", "星期六 ", "星期日"};
const std::array<std::string_view, 7> kDayNames = {"星期一", "星期二", "星期三", "星期四",
                                                   "星期五", "星期六", "星期日"};

namespace {

constexpr std::string_view kSection = "备份设置";
constexpr std::string_view kKeySource = "备份文件源地址";
constexpr std::string_view kKeyTarget = "备份文件目的地址";
constexpr std::string_view kKeyTime = "定时时刻";
constexpr std::string_view kKeyDays = "备份频率";
constexpr std::string_view kKeyKeep = "备份个数";
constexpr std::string_view kKeyStartAtLaunch = "启动时执行备份计划";
constexpr std::string_view kKeyCatchUp = "补做错过的备份";
constexpr std::string_view kKeyTimetableStarted = "备份计划已启动";
constexpr std::string_view kKeySystemTask = "系统计划任务";

std::string_view flagText(bool on) {
    return on ? "1" : "0";
}
constexpr std::string_view kKeyShare = "共享未改动的文件";
constexpr std::string_view kKeyExclude = "排除规则";
constexpr std::string_view kKeyMonthly = "按月保留";
constexpr std::string_view kKeyYearly = "按年保留";
constexpr std::string_view kKeyGuard = "异常变化保护";
// Alerts to a web address.
constexpr std::string_view kKeyNotifyUrl = "通知网址";
constexpr std::string_view kKeyNotifyAll = "通知所有结果";
constexpr std::string_view kKeyNotifySecret = "通知密钥";

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

// A count of months or years: digits alone, blanks around them allowed; empty is 0.
std::optional<int> parseWholeNumber(std::string_view text) {
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

std::optional<std::string> validateSettings(const TBackupSettings& settings) {
    if (settings.SourcePath.empty()) {
        return std::string(kNoSourceMessage);
    }
    if (settings.TargetFolder.empty()) {
        return std::string(kNoTargetMessage);
    }
    bool anyDay = false;
    for (bool day : settings.Days) {
        anyDay = anyDay || day;
    }
    if (!anyDay) {
        return "请选定备份日期！";
    }
    if (!settings.KeepCount) {
        return "请输入备份个数！";
    }
    if (*settings.KeepCount < 1) {
        return "备份个数输入不合法！";
    }
    if (settings.KeepMonthly < 0) {
        return "按月保留的个数输入不合法！";
    }
    if (settings.KeepYearly < 0) {
        return "按年保留的个数输入不合法！";
    }
    return Exclusions::problem(settings.ExcludeRules);
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
        const std::pair<std::string_view, std::string> values[] = {
            {kKeySource, settings.SourcePath},
            {kKeyTarget, settings.TargetFolder},
            {kKeyTime, formatRunTime(settings.RunTime)},
            {kKeyDays, BuildDayList(settings.Days)},
            {kKeyKeep, formatKeepCount(*settings.KeepCount)}};
        // Written once they have been set, so the files of users who never set them keep
        // their keys as they were.
        const std::tuple<std::string_view, std::string, bool> later[] = {
            {kKeyExclude, settings.ExcludeRules, !settings.ExcludeRules.empty()},
            {kKeyMonthly, std::to_string(settings.KeepMonthly), settings.KeepMonthly != 0},
            {kKeyYearly, std::to_string(settings.KeepYearly), settings.KeepYearly != 0},
            {kKeyNotifyUrl, settings.NotifyUrl, !settings.NotifyUrl.empty()},
            {kKeyNotifySecret, settings.NotifySecret, !settings.NotifySecret.empty()}};
        // A value the file would hand back cut short is refused, never saved.
        for (const auto& [key, value] : values) {
            if (!ini.fitsWhole(value)) {
                ws.ui.showMessage(tooLongToSave(key));
                return false;
            }
        }
        for (const auto& [key, value, set] : later) {
            if (!ini.fitsWhole(value)) {
                ws.ui.showMessage(tooLongToSave(key));
                return false;
            }
        }
        for (const auto& [key, value] : values) {
            ini.write(kSection, key, quotedIfNeeded(value));
        }
        for (const auto& [key, value, set] : later) {
            if (set || !ini.read(kSection, key).empty()) {
                ini.write(kSection, key, quotedIfNeeded(value));
            }
        }
        // The tick boxes are written once they have been on, so the files of users who never
        // tick them keep their five keys.
        const std::pair<std::string_view, bool> flags[] = {
            {kKeyStartAtLaunch, settings.StartScheduleAtLaunch},
            {kKeyCatchUp, settings.CatchUpMissed},
            {kKeyShare, settings.ShareUnchanged},
            {kKeySystemTask, settings.SystemTask},
            {kKeyNotifyAll, settings.NotifyAll}};
        for (const auto& [key, on] : flags) {
            if (on || !ini.read(kSection, key).empty()) {
                ini.write(kSection, key, flagText(on));
            }
        }
        // On unless turned off: written once it has been off.
        if (!settings.GuardMassChanges || !ini.read(kSection, kKeyGuard).empty()) {
            ini.write(kSection, kKeyGuard, flagText(settings.GuardMassChanges));
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
        ini.write(kSection, kKeyTimetableStarted, flagText(started));
        ini.save();
    } catch (const std::exception& e) {
        throw BackupError(e.what());
    }
}

void LoadSettings(Workspace& ws, TBackupSettings& settings) {
    using namespace std::chrono;
    settings.SourcePath.clear();
    settings.TargetFolder.clear();
    settings.ShareUnchanged = false;
    settings.ExcludeRules.clear();
    settings.KeepMonthly = 0;
    settings.KeepYearly = 0;
    settings.GuardMassChanges = true;
    settings.TimetableStarted = false;
    settings.SystemTask = false;
    settings.NotifyUrl.clear();
    settings.NotifyAll = false;
    settings.NotifySecret.clear();
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

    for (const auto key : {kKeySource, kKeyTarget, kKeyTime, kKeyDays, kKeyKeep, kKeyExclude,
                           kKeyMonthly, kKeyYearly, kKeyNotifyUrl, kKeyNotifySecret}) {
        if (!ini->fitsWhole(kSection, key)) {
            throw BackupError(tooLongToLoad(key));
        }
    }
    // Every setting is read: a bad value is left out (its field empty, the time at its
    // default), and one message at the end names each.
    std::vector<std::string> problems;
    settings.SourcePath = ini->read(kSection, kKeySource);
    const std::string keepText = ini->read(kSection, kKeyKeep);
    try {
        settings.KeepCount = parseKeepCount(keepText);  // not raised to 1
    } catch (const BackupError&) {
        settings.KeepCount.reset();
        problems.push_back(badValue(kKeyKeep, keepText, "不是有效的数值"));
    }
    settings.TargetFolder = ini->read(kSection, kKeyTarget);
    const std::string dayList = ini->read(kSection, kKeyDays);
    settings.StartScheduleAtLaunch = ini->read(kSection, kKeyStartAtLaunch) == "1";
    settings.TimetableStarted = trimControls(ini->read(kSection, kKeyTimetableStarted)) == "1";
    settings.CatchUpMissed = ini->read(kSection, kKeyCatchUp) == "1";
    settings.SystemTask = trimControls(ini->read(kSection, kKeySystemTask)) == "1";
    settings.ShareUnchanged = trimControls(ini->read(kSection, kKeyShare)) == "1";
    // Only "0" turns the guard off; a missing key or anything else leaves it on.
    settings.GuardMassChanges = trimControls(ini->read(kSection, kKeyGuard)) != "0";
    const std::string timeText = ini->read(kSection, kKeyTime);
    if (!timeText.empty()) {
        try {
            settings.RunTime = parseRunTime(timeText);
        } catch (const BackupError&) {
            problems.push_back(badValue(kKeyTime, timeText, "不是有效的时间"));
        }
    }
    for (size_t i = 0; i < kDayNames.size(); ++i) {
        settings.Days[i] = dayListHas(dayList, kDayNames[i]);
    }
    for (const auto& [key, count] :
         {std::pair{kKeyMonthly, &settings.KeepMonthly}, {kKeyYearly, &settings.KeepYearly}}) {
        const std::string text = ini->read(kSection, key);
        if (const auto value = parseWholeNumber(text)) {
            *count = *value;
        } else {
            problems.push_back(badValue(key, text, "不是不小于 0 的整数"));
        }
    }
    // Malformed rules stay in the field to be mended; no run takes them.
    settings.ExcludeRules = ini->read(kSection, kKeyExclude);
    if (auto problem = Exclusions::problem(settings.ExcludeRules)) {
        problems.push_back("config.ini 中的" + *problem);
    }
    settings.NotifyAll = trimControls(ini->read(kSection, kKeyNotifyAll)) == "1";
    settings.NotifySecret = trimControls(ini->read(kSection, kKeyNotifySecret));
    // A malformed address never stops a backup: sending says what is wrong with it.
    settings.NotifyUrl = trimControls(ini->read(kSection, kKeyNotifyUrl));
    if (!problems.empty()) {
        std::string message;
        for (const std::string& line : problems) {
            message += line + "\n";
        }
        throw BackupError(message + "这些值未采用，其余设置已载入。");
    }
}

}  // namespace vantrel
