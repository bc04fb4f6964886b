#pragma once

#include <optional>

#include <QString>
#include <QStringList>

#include "app/JobView.h"

class QWidget;

namespace vantrel {

// The program's modal boxes behind one seam, so tests can answer them without a nested loop.
class Dialogs {
public:
    enum class Answer { Yes, No };

    virtual ~Dialogs() = default;

    // The plain box: no icon, title "Vantrel", one OK button.
    virtual void showMessage(QWidget* parent, const QString& text) = 0;
    // The confirmation box: caption "Confirm", question icon, "&Yes" the default, "&No";
    // Escape and the box's close button answer No.
    virtual Answer confirm(QWidget* parent, const QString& question) = 0;
    // The question on unsaved changes, in the confirmation box's form: "保存" the default,
    // "不保存", "取消"; Escape and the box's close button answer 取消.
    virtual SaveAnswer askSave(QWidget* parent, const QString& question) = 0;
    // A folder browser offering folders only; no value when cancelled. The path comes back
    // with the platform's own separators.
    virtual std::optional<QString> pickFolder(QWidget* parent, const QString& prompt) = 0;
    // The plain box with a list under it, one entry a line (entries a copy left out).
    virtual void showList(QWidget* parent, const QString& text, const QStringList& items) = 0;
};

// The real boxes, built with Qt's message box and file dialog.
class QtDialogs final : public Dialogs {
public:
    void showMessage(QWidget* parent, const QString& text) override;
    Answer confirm(QWidget* parent, const QString& question) override;
    SaveAnswer askSave(QWidget* parent, const QString& question) override;
    std::optional<QString> pickFolder(QWidget* parent, const QString& prompt) override;
    void showList(QWidget* parent, const QString& text, const QStringList& items) override;
};

}  // namespace vantrel
