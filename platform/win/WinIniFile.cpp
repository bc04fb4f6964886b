#include <windows.h>

#include <stdexcept>

#include "platform/ErrorText.h"
#include "platform/IniFileOs.h"
#include "platform/TextCodec.h"
#include "platform/win/WinError.h"

namespace vantrel::detail {

namespace {

std::string osReason(DWORD code) {
    return describeError(windowsError(code));
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& reason) {
    throw std::runtime_error(pathToUtf8(file) + ": " + reason);
}

}  // namespace

void writeAndReplace(const std::filesystem::path& file, const std::filesystem::path& temp,
                     const std::string& content, std::filesystem::perms) {
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fail(temp, osReason(GetLastError()));
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == content.size() && FlushFileBuffers(h);
    const DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(temp.c_str());
        fail(temp, osReason(err));
    }
    if (!MoveFileExW(temp.c_str(), file.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveErr = GetLastError();
        DeleteFileW(temp.c_str());
        fail(file, osReason(moveErr));
    }
}

std::string uniqueSuffix() {
    return std::to_string(GetCurrentProcessId());
}

}  // namespace vantrel::detail
