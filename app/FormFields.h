#pragma once

#include <array>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/Settings.h"

namespace vantrel {

// What the main window's fields hold, as the user sees them: one text per setting, as its row
// of the settings table writes it (a flag "1" or "0", the time "H:mm:ss", the days a day
// list), with a count of 0 left blank. A window maps each of its controls to one setting and
// never to a field of TBackupSettings. All text is UTF-8; an empty text reads as the default.
class FormFields {
public:
    const std::string& text(Setting id) const { return m_texts[static_cast<size_t>(id)]; }
    void setText(Setting id, std::string_view text) {
        m_texts[static_cast<size_t>(id)] = std::string(text);
    }

    // A tick box's state, read as config.ini's value is.
    bool flag(Setting id) const;
    void setFlag(Setting id, bool on);
    // The time picker.
    TimeOfDay time() const;
    void setTime(const TimeOfDay& time);
    // The day boxes, Monday first.
    std::array<bool, 7> days() const;
    void setDays(const std::array<bool, 7>& days);
    void setDay(Weekday day, bool on);

    // The fields that show `settings`.
    static FormFields of(const TBackupSettings& settings);
    // The settings the fields hold. A text that is no value gives one the save command
    // refuses (a keep count or month count "x" is refused as invalid, never read as 0).
    TBackupSettings settings() const;

private:
    std::array<std::string, kSettingCount> m_texts;
};

}  // namespace vantrel
