#include "cli/CliUi.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace vantrel::cli {

std::string formatTimestamp(LocalTime when) {
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{when - day};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer;
}

void CliUi::printLine(bool toError, std::string_view text) {
    std::string line;
    if (m_stampClock != nullptr) {
        line = formatTimestamp(m_stampClock->now()) + " ";
    }
    line += text;
    line += '\n';
    std::FILE* out = toError ? stderr : stdout;
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

void CliUi::setStatus(std::string_view text) {
    printLine(false, text);
}

void CliUi::showMessage(std::string_view text) {
    printLine(true, text);
}

void CliUi::error(std::string_view text) {
    printLine(true, text);
}

}  // namespace vantrel::cli
