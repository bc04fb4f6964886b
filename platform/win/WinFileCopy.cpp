#include "platform/win/WinFileCopy.h"

#include <mutex>
#include <utility>

namespace vantrel::win {

namespace {

DWORD copyFileEx(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress,
                 void* context) {
    return CopyFileExW(from, to, progress, context, nullptr, COPY_FILE_FAIL_IF_EXISTS)
               ? 0
               : GetLastError();
}

std::mutex g_mutex;

FileCopyCalls& current() {
    static FileCopyCalls calls{copyFileEx};
    return calls;
}

}  // namespace

FileCopyCalls fileCopyCalls() {
    const std::lock_guard lock(g_mutex);
    return current();
}

ScopedFileCopyCalls::ScopedFileCopyCalls(FileCopyCalls calls) {
    const std::lock_guard lock(g_mutex);
    m_before = std::exchange(current(), std::move(calls));
}

ScopedFileCopyCalls::~ScopedFileCopyCalls() {
    const std::lock_guard lock(g_mutex);
    current() = std::move(m_before);
}

}  // namespace vantrel::win
