#pragma once

#include <string_view>

#include "platform/FileOps.h"

namespace vantrel {

// How a run reaches the user: the window's presenter shows these, the command-line front end
// prints them, tests record them. Text is UTF-8. A run may call them from its own thread.
class BackupUi {
public:
    virtual ~BackupUi() = default;

    // The run's state in a few words ("文件备份中……"); each replaces the one before.
    virtual void setStatus(std::string_view text) = 0;
    // Something the user must read: a refusal, a failure, a warning.
    virtual void showMessage(std::string_view text) = 0;
    // What the copy about to start will hold, counted beforehand (all zero when unknown);
    // may be called from the copying thread.
    virtual void setProgressTotal(const TreeSize& total) { (void)total; }
    // Progress of the copy under way; may be called from the copying thread.
    virtual void showProgress(const CopyProgress& progress) { (void)progress; }
};

}  // namespace vantrel
