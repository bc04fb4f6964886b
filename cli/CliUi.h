#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "engine/run/BackupUi.h"
#include "platform/Clock.h"

namespace vantrel::cli {

// Prints what the engine shows: status texts to standard output, messages and errors to
// standard error, one line each, flushed at once. With a clock, each line starts with the
// local date and time, as the long-running timetable prints them.
class CliUi final : public BackupUi {
public:
    // `progressLine`: show the copy's progress as one line rewritten in place (on a terminal).
    explicit CliUi(const Clock* stampClock = nullptr, bool progressLine = false)
        : m_stampClock(stampClock), m_progressLine(progressLine) {}

    void setStatus(std::string_view text) override;
    void showMessage(std::string_view text) override;
    void setProgressTotal(const TreeSize& total) override;
    void showProgress(const CopyProgress& progress) override;

    void error(std::string_view text);

private:
    void printLine(bool toError, std::string_view text);

    void endProgressLine();

    const Clock* m_stampClock;
    bool m_progressLine;
    bool m_progressShown = false;
    TreeSize m_total;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDrawn;
};

// "12/40 个文件，3.4 MB/10.0 MB，30%，剩余约 5 秒": the in-place progress line.
std::string progressLine(const CopyProgress& done, const TreeSize& total,
                         std::chrono::milliseconds elapsed);

}  // namespace vantrel::cli
