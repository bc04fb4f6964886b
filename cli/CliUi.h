#pragma once

#include <string_view>

#include "engine/BackupUi.h"
#include "platform/Clock.h"

namespace vantrel::cli {

// Prints what the engine shows: status texts to standard output, messages and errors to
// standard error, one line each, flushed at once. With a clock, each line starts with the
// local date and time, as the long-running timetable prints them.
class CliUi final : public BackupUi {
public:
    explicit CliUi(const Clock* stampClock = nullptr) : m_stampClock(stampClock) {}

    void setStatus(std::string_view text) override;
    void repaint() override {}
    void showMessage(std::string_view text) override;

    void error(std::string_view text);

private:
    void printLine(bool toError, std::string_view text);

    const Clock* m_stampClock;
};

// "yyyy-mm-dd hh:mm:ss".
std::string formatTimestamp(LocalTime when);

}  // namespace vantrel::cli
