#include "tests/windows/ChildProcess.h"

#include <windows.h>

#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/TextCodec.h"

namespace vantrel::test {

namespace {

std::wstring wide(std::string_view utf8) {
    return pathFromUtf8(utf8).wstring();
}

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

}  // namespace

std::filesystem::path executableDir() {
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) {
        fail("GetModuleFileNameW");
    }
    buf.resize(n);
    return std::filesystem::path(buf).parent_path();
}

ChildProcess::ChildProcess(const std::filesystem::path& exe, const std::vector<std::string>& args,
                           const std::filesystem::path& workDir,
                           const std::filesystem::path& outputFile) {
    std::wstring line;
    appendQuoted(line, exe.wstring());
    for (const auto& arg : args) {
        line += L' ';
        appendQuoted(line, wide(arg));
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        fail("CreateFileW");
    }
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, workDir.c_str(), &si, &pi);
    const DWORD error = GetLastError();
    CloseHandle(out);
    if (in != INVALID_HANDLE_VALUE) {
        CloseHandle(in);
    }
    if (!started) {
        SetLastError(error);
        fail("CreateProcessW");
    }
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
}

ChildProcess::~ChildProcess() {
    if (m_process != nullptr) {
        kill();
        CloseHandle(m_process);
    }
}

int ChildProcess::wait() {
    WaitForSingleObject(m_process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return static_cast<int>(code);
}

void ChildProcess::kill() {
    if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process, 9);
        WaitForSingleObject(m_process, INFINITE);
    }
}

bool waitForFile(const std::filesystem::path& file, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::error_code ec;
    while (!std::filesystem::exists(file, ec)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace vantrel::test
