#pragma once

#include <filesystem>
#include <string>

#include <QString>
#include <QWidget>
#include <QtTest>

#include "platform/TextCodec.h"
#include "shell/MainUnit.h"
#include "tests/shell/FakeDialogs.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

namespace vantrel::test {

inline QString qstr(const std::filesystem::path& path) {
    return QString::fromUtf8(pathToUtf8(path));
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
    TMainForm form{dir.path(), clock, dialogs};
};

}  // namespace vantrel::test
