#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/FileOps.h"
#include "winshell/Handles.h"

namespace vantrel {

// One window per working directory. The first process there holds a named mutex of that
// directory and marks its window; a later one finds the window, asks it to come to the front
// and ends.
class SingleInstance {
public:
    SingleInstance(FileOps& files, const std::filesystem::path& workDir);

    // True when this process is the first in the directory.
    bool claim();
    // Marks the first process's window, so that later ones find it.
    void mark(HWND window) const;
    // Asks the marked window to come to the front (and, with `restorePath`, to open its restore
    // window there); false when none turned up.
    bool activateFirst(const std::wstring& restorePath = {}) const;
    // Gives the directory up: the window is gone, though a run may still be ending.
    void release() { m_mutex.reset(); }

private:
    HANDLE markValue() const;

    std::wstring m_key;
    KernelHandle m_mutex;
};

}  // namespace vantrel
