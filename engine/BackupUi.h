#pragma once

#include <string_view>

#include "platform/FileOps.h"

namespace vantrel {

// How the engine reaches the user. The shell shows these in its window; the command-line
// front end prints them; tests record them. Text is UTF-8.
class BackupUi {
public:
    virtual ~BackupUi() = default;

    // Status panel 1 of the main window.
    virtual void setStatus(std::string_view text) = 0;
    // Repaints the main window at once, so a status text shows before a long step.
    virtual void repaint() = 0;
    // The plain message box: no icon, the application title, one OK button.
    virtual void showMessage(std::string_view text) = 0;
    // What the copy about to start will hold, counted beforehand (all zero when unknown);
    // may be called from the copying thread.
    virtual void setProgressTotal(const TreeSize& total) { (void)total; }
    // Progress of the copy under way; may be called from the copying thread.
    virtual void showProgress(const CopyProgress& progress) { (void)progress; }
    // Switches the three schedule-related command buttons on or off.
    virtual void setCommandsEnabled(bool enabled) { (void)enabled; }
};

}  // namespace vantrel
