#include "engine/rules/Schedule.h"

#include <chrono>

#include "engine/Settings.h"

namespace vantrel {

namespace {

using std::chrono::days;
using std::chrono::seconds;

// How long the run starts before the set minute.
constexpr seconds kLeadTime{10};

seconds fireOffset(const TBackupSettings& settings) {
    const seconds setTime =
        std::chrono::hours{settings.RunTime.hour} + std::chrono::minutes{settings.RunTime.minute};
    return (setTime - kLeadTime + days{1}) % days{1};
}

bool ticked(const TBackupSettings& settings, std::chrono::local_days date) {
    const std::chrono::weekday day{date};
    return settings.Days[day.iso_encoding() - 1];
}

}  // namespace

std::string_view TodayName(LocalTime when) {
    // kDayNames starts on Monday; the ISO encoding numbers Monday 1 to Sunday 7.
    const std::chrono::weekday day{std::chrono::floor<days>(when)};
    return kDayNames[day.iso_encoding() - 1];
}

std::vector<LocalTime> fireInstantsBetween(const TBackupSettings& settings, LocalTime from,
                                           LocalTime to) {
    std::vector<LocalTime> instants;
    if (to <= from) {
        return instants;
    }
    const seconds offset = fireOffset(settings);
    for (auto date = std::chrono::floor<days>(from); date <= std::chrono::floor<days>(to);
         date += days{1}) {
        const LocalTime fire = date + offset;
        if (fire > from && fire <= to && ticked(settings, date)) {
            instants.push_back(fire);
        }
    }
    return instants;
}

std::optional<LocalTime> nextFireInstant(const TBackupSettings& settings, LocalTime after) {
    const auto instants = fireInstantsBetween(settings, after, after + days{8});
    if (instants.empty()) {
        return std::nullopt;
    }
    return instants.front();
}

std::vector<LocalTime> lastFireInstants(const TBackupSettings& settings, LocalTime now,
                                        std::size_t count) {
    std::vector<LocalTime> instants;
    const seconds offset = fireOffset(settings);
    for (auto date = std::chrono::floor<days>(now); instants.size() < count; date -= days{1}) {
        if (date < std::chrono::floor<days>(now) - days{7 * static_cast<int>(count) + 1}) {
            break;  // no day ticked
        }
        const LocalTime fire = date + offset;
        if (fire <= now && ticked(settings, date)) {
            instants.push_back(fire);
        }
    }
    return instants;
}

}  // namespace vantrel
