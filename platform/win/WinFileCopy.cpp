#include "platform/win/WinFileCopy.h"

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace vantrel::win {

namespace {

// Files up to this size are copied through the program's own handles.
constexpr std::uint64_t kOwnCopyLimit = 1024 * 1024;
// What a file may be for the program's own copy to give what CopyFileExW gives.
constexpr DWORD kPlainAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_NORMAL |
                                   FILE_ATTRIBUTE_TEMPORARY;

DWORD copyFileEx(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress,
                 void* context) {
    return CopyFileExW(from, to, progress, context, nullptr, COPY_FILE_FAIL_IF_EXISTS)
               ? 0
               : GetLastError();
}

class Handle {
public:
    explicit Handle(HANDLE h) : m_h(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != INVALID_HANDLE_VALUE; }
    void close() {
        if (valid()) {
            CloseHandle(m_h);
            m_h = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE m_h;
};

// Writes the open source's contents to the new file and gives it the source's attributes and
// modification time. Returns 0 or the error.
// Writes the open source's contents to the new file and gives it the source's attributes and
// modification time. Returns 0 or the error.
DWORD writeCopy(HANDLE source, HANDLE target, const FILE_BASIC_INFO& info) {
    thread_local std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return GetLastError();
        }
        if (got == 0) {
            break;
        }
        DWORD put = 0;
        if (!WriteFile(target, buffer.data(), got, &put, nullptr)) {
            return GetLastError();
        }
        if (put != got) {
            return ERROR_WRITE_FAULT;
        }
    }
    // The creation time stays the copy's own, as CopyFileExW leaves it.
    FILE_BASIC_INFO basic{};
    basic.LastWriteTime = info.LastWriteTime;
    basic.FileAttributes = info.FileAttributes != 0 ? info.FileAttributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(target, FileBasicInfo, &basic, sizeof basic) ? 0
                                                                                   : GetLastError();
}

std::mutex g_mutex;

FileCopyCalls& current() {
    static FileCopyCalls calls{copyFile};
    return calls;
}

// Whether the file holds streams besides its contents (the mark of a downloaded file, and
// what other programs keep there): CopyFileExW copies them, our own copy would not. A file
// system that cannot tell has none.
bool hasNamedStreams(HANDLE file) {
    alignas(FILE_STREAM_INFO) unsigned char buffer[1024];
    if (!GetFileInformationByHandleEx(file, FileStreamInfo, buffer, sizeof buffer)) {
        return GetLastError() == ERROR_MORE_DATA;
    }
    return reinterpret_cast<const FILE_STREAM_INFO*>(buffer)->NextEntryOffset != 0;
}

}  // namespace

DWORD copyFile(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* context,
               PlacedFile* placed) {
    // Shared as CopyFileExW shares its source: a file another program writes to is copied, one
    // it holds for itself is refused (a sharing violation).
    Handle source(CreateFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source.valid()) {
        return GetLastError();
    }
    // Asked by the file's information classes, not GetFileInformationByHandle: that asks the
    // volume too, which under Wine is a round trip to another process.
    FILE_BASIC_INFO info{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(source.get(), FileBasicInfo, &info, sizeof info) ||
        !GetFileInformationByHandleEx(source.get(), FileStandardInfo, &standard, sizeof standard)) {
        return GetLastError();
    }
    const auto size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    if (size > kOwnCopyLimit || (info.FileAttributes & ~kPlainAttributes) != 0 ||
        hasNamedStreams(source.get())) {
        source.close();
        return copyFileEx(from, to, progress, context);
    }
    Handle target(CreateFileW(to, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target.valid()) {
        return GetLastError();
    }
    DWORD err = writeCopy(source.get(), target.get(), info);
    if (err == 0 && progress != nullptr) {
        // One chunk, the whole file, reported once it is placed with its time and attributes.
        LARGE_INTEGER whole;
        whole.QuadPart = static_cast<LONGLONG>(size);
        if (progress(whole, whole, whole, whole, 1, CALLBACK_CHUNK_FINISHED, source.get(),
                     target.get(), context) != PROGRESS_CONTINUE) {
            err = ERROR_REQUEST_ABORTED;
        }
    }
    if (err == 0 && placed != nullptr) {
        placed->known = GetFileInformationByHandleEx(target.get(), FileBasicInfo, &placed->basic,
                                                     sizeof placed->basic) &&
                        GetFileInformationByHandleEx(target.get(), FileStandardInfo,
                                                     &placed->standard, sizeof placed->standard);
    }
    target.close();
    if (err != 0) {
        // A read-only copy refuses to be deleted until its attribute is lifted.
        SetFileAttributesW(to, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(to);
    }
    return err;
}

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
