#pragma once

#include <exception>

#include <QString>

#include "shell/Dialogs.h"
#include "shell/QtText.h"

namespace vantrel {

// The program's one error handler: runs a command or a tick, and when it throws, shows the
// error's text in the plain box. Nothing ever escapes into Qt's event handling.
template <class Fn>
void runGuarded(Dialogs& dialogs, QWidget* parent, Fn&& fn) noexcept {
    try {
        fn();
    } catch (const std::exception& e) {
        dialogs.showMessage(parent, toQString(e.what()));
    } catch (...) {
        dialogs.showMessage(parent, QStringLiteral("未知错误"));
    }
}

}  // namespace vantrel
