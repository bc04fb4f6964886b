#include "cli/CliUi.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "engine/Texts.h"
#include "engine/records/RunHistory.h"
#include "engine/run/BackupJob.h"

namespace vantrel::cli {

std::string progressLine(const CopyProgress& done, const TreeSize& total,
                         std::chrono::milliseconds elapsed) {
    std::string line = std::to_string(done.files);
    if (total.files > 0) {
        line += "/" + std::to_string(total.files);
    }
    line += " 个文件，" + sizeText(done.bytes);
    if (total.bytes > 0) {
        line += "/" + sizeText(total.bytes);
    }
    if (const int permille = progressPermille(done, total); permille >= 0) {
        line += "，" + std::to_string(permille / 10) + "%";
    }
    if (const std::string left = timeLeftText(done, total, elapsed); !left.empty()) {
        line += "，" + left;
    }
    return line;
}

void CliUi::endProgressLine() {
    if (m_progressShown) {
        m_progressShown = false;
        // Clears the progress line, so the next text starts on a clean line.
        std::fputs("\r\033[K", stdout);
    }
}

void CliUi::setProgressTotal(const TreeSize& total) {
    m_total = total;
    m_start = std::chrono::steady_clock::now();
    m_lastDrawn = {};
}

void CliUi::showProgress(const CopyProgress& progress) {
    if (!m_progressLine) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    // A terminal needs no more than a few redraws a second.
    if (now - m_lastDrawn < std::chrono::milliseconds(200)) {
        return;
    }
    m_lastDrawn = now;
    const std::string line =
        "\r\033[K" +
        progressLine(progress, m_total,
                     std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start));
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    m_progressShown = true;
}

void CliUi::printLine(bool toError, std::string_view text) {
    endProgressLine();
    std::string line;
    if (m_stampClock != nullptr) {
        line = formatLocalTime(m_stampClock->now()) + " ";
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
