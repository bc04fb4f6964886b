#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

// The calls a Windows tree copy makes for each file's contents, held in one place so that a
// test can put others there and show what Wine cannot (a byte-range lock, error 33).
namespace vantrel::win {

// Copies one file as CopyFileExW does with COPY_FILE_FAIL_IF_EXISTS (contents, attributes,
// modification time), calling `progress` with `context` as it goes; returns 0 or the error.
// Fills `placed` with the new file as the target keeps it where it could read that through its
// own handle, and leaves it alone otherwise.
struct PlacedFile {
    bool known = false;
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
};
using CopyFileFn = DWORD(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress,
                         void* context, PlacedFile* placed);

// The program's own copy: small plain files are copied through handles it holds, their
// attributes and time set and the last chunk reported (so flushed) through the new file's
// handle, which then tells what was placed; anything else (big, encrypted, compressed or
// sparse files, and files with attributes a plain copy would not carry) goes to CopyFileExW.
DWORD copyFile(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* context,
               PlacedFile* placed);

struct FileCopyCalls {
    // Called from several threads at once.
    std::function<CopyFileFn> copyFile;
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
