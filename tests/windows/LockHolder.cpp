// Helper for the run-lock test: takes the run lock named by its first argument, creates the
// file named by its second to say so, and holds the lock until killed (two minutes at most).
#include <windows.h>

#include <shellapi.h>

#include "platform/RunLock.h"

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 3) {
        return 2;
    }
    const auto lock = vantrel::RunLock::tryAcquire(argv[1]);
    if (!lock) {
        return 3;
    }
    CloseHandle(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    Sleep(120'000);
    return 0;
}
