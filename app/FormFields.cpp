#include "app/FormFields.h"

namespace vantrel {

bool FormFields::flag(Setting id) const {
    return parseFlag(text(id), settingRow(id).defaultText == "1");
}

void FormFields::setFlag(Setting id, bool on) {
    setText(id, on ? "1" : "0");
}

TimeOfDay FormFields::time() const {
    return settings().RunTime;
}

void FormFields::setTime(const TimeOfDay& time) {
    setText(Setting::Time, formatRunTime(time));
}

std::array<bool, 7> FormFields::days() const {
    return settings().Days;
}

void FormFields::setDays(const std::array<bool, 7>& days) {
    setText(Setting::Days, BuildDayList(days));
}

void FormFields::setDay(Weekday day, bool on) {
    std::array<bool, 7> all = days();
    all[day] = on;
    setDays(all);
}

FormFields FormFields::of(const TBackupSettings& settings) {
    FormFields fields;
    for (const SettingRow& row : settingRows()) {
        std::string text = row.format(settings);
        if (row.kind == SettingKind::Count && text == "0") {
            text.clear();
        }
        fields.setText(row.id, text);
    }
    return fields;
}

TBackupSettings FormFields::settings() const {
    TBackupSettings settings;
    for (const SettingRow& row : settingRows()) {
        row.parse(text(row.id), settings);
    }
    return settings;
}

}  // namespace vantrel
