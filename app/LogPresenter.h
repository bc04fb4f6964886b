#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// What a log viewer draws, and the question it asks.
class LogView {
public:
    virtual ~LogView() = default;
    virtual void showLines(const std::vector<std::string>& lines) = 0;
    // The job's run history beside the log: every run, newest first, each as its fields
    // (shownFields: start, end, trigger, outcome, files, bytes, copy, changes, message).
    virtual void showHistory(const std::vector<std::vector<std::string>>& rows) = 0;
    virtual bool confirm(std::string_view question) = 0;
    virtual void showMessage(std::string_view text) = 0;
};

// The log viewer's behaviour: the operation log, loaded when shown and on reload, and
// emptied after asking, and beside it the job's run history (failures and cancels too),
// which the log does not hold. It does not follow the files: new lines appear on reload.
class LogPresenter {
public:
    // `dbFile`: the record database holding the run history; none shows no history.
    LogPresenter(std::filesystem::path logFile, LogView& view, std::filesystem::path dbFile = {})
        : m_logFile(std::move(logFile)), m_dbFile(std::move(dbFile)), m_view(view) {}

    void show();    // the first time the viewer is shown
    void reload();  // N1 刷新(&R)
    void empty();   // N2 清除(&C), after "您确定要清除现有的日志信息吗？"

private:
    void load();

    std::filesystem::path m_logFile;
    std::filesystem::path m_dbFile;
    LogView& m_view;
    bool m_shown = false;
};

}  // namespace vantrel
