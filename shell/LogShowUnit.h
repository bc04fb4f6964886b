#pragma once

#include <filesystem>

#include <QWidget>

#include "shell/Dialogs.h"

class QAction;
class QMenu;
class QPlainTextEdit;

namespace vantrel {

// A window showing the operation log, with reload and empty on its context menu. It does
// not follow the file: new lines appear on reload. Freed when closed.
class TLogShowForm final : public QWidget {
    Q_OBJECT

public:
    TLogShowForm(std::filesystem::path logFile, Dialogs& dialogs, QWidget* parent = nullptr);

    void N1Click();  // reload
    void N2Click();  // empty, after asking

protected:
    void showEvent(QShowEvent* event) override;

private:
    void loadLines();

    std::filesystem::path m_logFile;
    Dialogs& m_dialogs;
    QPlainTextEdit* m_memo = nullptr;
    QMenu* m_menu = nullptr;
    bool m_shownOnce = false;
};

}  // namespace vantrel
