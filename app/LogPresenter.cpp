#include "app/LogPresenter.h"

#include <exception>
#include <system_error>
#include <utility>

#include "engine/Texts.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"

namespace vantrel {

void LogPresenter::load() {
    try {
        m_view.showLines(OperationLog(m_logFile).LoadLines());
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
    std::error_code ec;
    if (m_dbFile.empty() || !std::filesystem::exists(m_dbFile, ec)) {
        return;
    }
    try {
        std::vector<std::vector<std::string>> rows;
        for (const RunRecord& r : RunHistory(m_dbFile).list()) {
            std::vector<std::string> fields = shownFields(r);
            // The bytes in the units the status bar gives them ("293.3 KB"); the command line
            // prints the number for scripts.
            constexpr std::size_t kBytesField = 5;
            fields.at(kBytesField) = sizeText(r.bytes);
            rows.push_back(std::move(fields));
        }
        m_view.showHistory(rows);
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());
    }
}

void LogPresenter::show() {
    if (!m_shown) {
        m_shown = true;
        load();
    }
}

void LogPresenter::reload() {
    load();
}

void LogPresenter::empty() {
    if (!m_view.confirm("您确定要清除现有的日志信息吗？")) {
        return;
    }
    try {
        OperationLog(m_logFile).Clear();
    } catch (const std::exception& e) {
        m_view.showMessage(e.what());  // the lines stay as they were
        return;
    }
    m_view.showLines({});
}

}  // namespace vantrel
