#pragma once

#include <filesystem>

#include <QWidget>

#include "app/LogPresenter.h"
#include "shell/Dialogs.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QTableWidget;

namespace vantrel {

// A window showing the operation log, with reload and empty on its context menu. It does
// not follow the file: new lines appear on reload. Freed when closed.
class TLogShowForm final : public QWidget, public LogView {
    Q_OBJECT

public:
    // `dbFile`: the record database whose run history is shown beside the log.
    TLogShowForm(std::filesystem::path logFile, Dialogs& dialogs, QWidget* parent = nullptr,
                 std::filesystem::path dbFile = {});

    void N1Click();  // reload
    void N2Click();  // empty, after asking

    // LogView
    void showLines(const std::vector<std::string>& lines) override;
    void showHistory(const std::vector<std::vector<std::string>>& rows) override;
    bool confirm(std::string_view question) override;
    void showMessage(std::string_view text) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    Dialogs& m_dialogs;
    LogPresenter m_presenter;
    QPlainTextEdit* m_memo = nullptr;
    QTableWidget* m_history = nullptr;
    QMenu* m_menu = nullptr;
};

}  // namespace vantrel
