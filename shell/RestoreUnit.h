#pragma once

#include <QWidget>

#include "app/RestorePresenter.h"
#include "app/RestoreView.h"
#include "shell/Dialogs.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace vantrel {

// The restore window ("恢复文件"): draws the copies, the chosen copy's folder and the versions
// of the chosen entry, and forwards every command to its presenter, which decides. Freed
// when closed, once a restore under way has ended.
class TRestoreForm final : public QWidget, public RestoreView {
    Q_OBJECT

public:
    TRestoreForm(Workspace& ws, const TBackupSettings& settings, Dialogs& dialogs,
                 QWidget* parent = nullptr);
    ~TRestoreForm() override;

    RestorePresenter& presenter() { return m_presenter; }
    // Blocks until a restore under way has ended and its outcome has been shown.
    void waitForRestore();

    // RestoreView
    void showCopies(const std::vector<RestoreCopyRow>& copies, std::int64_t chosen) override;
    void showPinCommand(std::string_view caption, bool enabled) override;
    void showEntries(std::string_view folder, const std::vector<RestoreEntryRow>& rows) override;
    void showVersions(const std::vector<std::string>& lines) override;
    void showChosenEntry(std::string_view path) override;
    void showRestoring(bool running) override;
    void showProgress(const ProgressView& progress) override;
    void showSummary(std::string_view summary, const std::vector<std::string>& details) override;
    void showMessage(std::string_view text) override;
    std::optional<std::string> pickFolder(std::string_view prompt) override;
    void openInFileManager(const std::filesystem::path& folder) override;
    void post(std::function<void()> fn) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void entriesChosen();

    Dialogs& m_dialogs;
    QTableWidget* m_copies = nullptr;
    QLabel* m_folder = nullptr;
    QPushButton* m_up = nullptr;
    QLineEdit* m_filter = nullptr;
    QCheckBox* m_showDeleted = nullptr;
    QTableWidget* m_entries = nullptr;
    QListWidget* m_versions = nullptr;
    QPushButton* m_toOriginal = nullptr;
    QPushButton* m_toFolder = nullptr;
    QPushButton* m_openFolder = nullptr;
    QPushButton* m_pin = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_cancel = nullptr;
    QLabel* m_status = nullptr;
    bool m_shown = false;
    RealFilePlacer m_placer;
    RestorePresenter m_presenter;  // last: made once the widgets exist
};

}  // namespace vantrel
