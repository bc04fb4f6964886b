#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include "platform/TextCodec.h"
#include "shell/MainUnit.h"
#include "shell/QtText.h"
#include "tests/shell/FakeDialogs.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

namespace vantrel::test {

inline QString qstr(const std::filesystem::path& path) {
    return toQString(pathToUtf8(path));
}

// A child widget by object name; the test fails at once when it is missing.
template <class T>
T* child(QWidget& parent, const char* name) {
    T* widget = parent.findChild<T*>(QLatin1String(name));
    if (!widget) {
        qFatal("no child named %s", name);
    }
    return widget;
}

// One program instance in a fresh working directory, on a fake clock, with scripted boxes.
struct ShellEnv {
    TempDir dir;
    FakeClock clock{at(2014, 5, 15, 9, 0, 0)};  // a Thursday
    FakeDialogs dialogs;
    RealFileOps files;
    std::unique_ptr<TMainForm> owned =
        std::make_unique<TMainForm>(dir.path(), files, clock, dialogs);
    TMainForm& form = *owned;

    QLineEdit* edit(const char* name) { return child<QLineEdit>(form, name); }
    QCheckBox* box(const char* name) { return child<QCheckBox>(form, name); }
    QPushButton* button(const char* name) { return child<QPushButton>(form, name); }
    void click(const char* name) { button(name)->click(); }
    bool timerOn() { return child<QTimer>(form, "FileTimer2")->isActive(); }
    QString panel1() { return child<QLabel>(form, "StatusPanel1")->text(); }
};

}  // namespace vantrel::test
