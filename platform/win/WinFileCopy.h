#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

// The calls a Windows tree copy makes for each file's contents, held in one place so that a
// test can put others there and show what Wine cannot (a byte-range lock, error 33).
namespace vantrel::win {

struct FileCopyCalls {
    // Copies one file as CopyFileExW does with COPY_FILE_FAIL_IF_EXISTS, calling `progress`
    // with `context` as it goes; returns 0 or the error. Called from several threads at once.
    std::function<DWORD(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress,
                        void* context)>
        copyFile;
    // How long the copy waits before it tries the files another program held once more.
    std::chrono::milliseconds heldRetryPause{2000};
};

// The calls in place now; a copy takes them once, when it starts.
FileCopyCalls fileCopyCalls();

// Puts other calls in place for as long as it lives (tests).
class ScopedFileCopyCalls {
public:
    explicit ScopedFileCopyCalls(FileCopyCalls calls);
    ~ScopedFileCopyCalls();
    ScopedFileCopyCalls(const ScopedFileCopyCalls&) = delete;
    ScopedFileCopyCalls& operator=(const ScopedFileCopyCalls&) = delete;

private:
    FileCopyCalls m_before;
};

}  // namespace vantrel::win
