#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "platform/Clock.h"

namespace vantrel {

// The weekday name of a local date ("星期日" for Sunday ... "星期六").
std::string_view TodayName(LocalTime when);

// The weekly timetable's arithmetic. A fire instant is the moment a run starts: RunTime's
// hh:mm:00 less the lead time of 10 seconds, on a ticked day (9:59:50 for 10:00, and 23:59:50
// of the day itself for 00:00). Days are taken from the day boxes (Days).

// The fire instants in (from, to], oldest first.
std::vector<LocalTime> fireInstantsBetween(const TBackupSettings& settings, LocalTime from,
                                           LocalTime to);
// The first fire instant after `after`; none when no day is ticked.
std::optional<LocalTime> nextFireInstant(const TBackupSettings& settings, LocalTime after);
// Up to `count` fire instants at or before `now`, newest first.
std::vector<LocalTime> lastFireInstants(const TBackupSettings& settings, LocalTime now,
                                        std::size_t count);

}  // namespace vantrel
