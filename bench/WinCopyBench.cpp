// Times a whole first `vantrel-cli.exe backup` of a tree of small files, and the program's own
// tree copy alone (RealFileOps::copyTree, each file flushed, in this process), against a bare
// CopyFileExW loop over the same tree (folders made, each file copied, nothing flushed), in
// alternating rounds, and prints the medians and their ratio. A Windows program; under Wine
// its figures are Wine's, not a Windows machine's.
//
//   win_copy_bench.exe [--cli vantrel-cli.exe] [--cli other\vantrel-cli.exe] [--files 2000]
//                      [--folders 20] [--rounds 5] [--dir C:\bench]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <shellapi.h>

#include "platform/FileOps.h"
#include "platform/TextCodec.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void die(const std::string& what) {
    std::fprintf(stderr, "win_copy_bench: %s\n", what.c_str());
    std::exit(1);
}

// `files` files of 1 to 16 KiB spread over `folders` folders.
void makeTree(const fs::path& top, int files, int folders) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> size(1024, 16 * 1024);
    for (int i = 0; i < files; ++i) {
        const fs::path folder = top / ("folder" + std::to_string(i % folders));
        fs::create_directories(folder);
        std::ofstream(folder / ("file" + std::to_string(i) + ".txt"), std::ios::binary)
            << std::string(static_cast<size_t>(size(random)), static_cast<char>('a' + i % 26));
    }
}

void copyLoop(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr)) {
        die("cannot make a folder of the bare copy");
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            copyLoop(from + L"\\" + name, to + L"\\" + name);
        } else if (!CopyFileExW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), nullptr,
                                nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
            die("the bare copy failed");
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// A new job in `job` backing `tree` up into `target`, as a user sets one up.
void makeJob(const fs::path& job, const fs::path& tree, const fs::path& target) {
    fs::create_directories(job);
    const std::string ini = "[备份设置]\r\n备份文件源地址=" + vantrel::pathToUtf8(tree) +
                            "\r\n备份文件目的地址=" + vantrel::pathToUtf8(target) +
                            "\r\n定时时刻=10:00:00\r\n备份频率=星期一;\r\n备份个数=2\r\n";
    std::ofstream(job / "config.ini", std::ios::binary) << vantrel::utf8ToGbk(ini);
}

void runCli(const fs::path& cli, const fs::path& job) {
    std::wstring command = L"\"" + cli.native() + L"\" backup";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(cli.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, job.c_str(), &startup, &process)) {
        die("cannot start " + vantrel::pathToUtf8(cli));
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (code != 0) {
        die(vantrel::pathToUtf8(cli) + " backup ended with " + std::to_string(code));
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<fs::path> clis;
    int files = 2000, folders = 20, rounds = 5;
    fs::path dir = fs::temp_directory_path() / "win_copy_bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--cli") {
            clis.push_back(fs::absolute(argv[i + 1]));
        } else if (option == L"--files") {
            files = std::stoi(argv[i + 1]);
        } else if (option == L"--folders") {
            folders = std::stoi(argv[i + 1]);
        } else if (option == L"--rounds") {
            rounds = std::stoi(argv[i + 1]);
        } else if (option == L"--dir") {
            dir = argv[i + 1];
        } else {
            die("unknown option");
        }
    }
    vantrel::RealFileOps ops;
    ops.removeTree(dir);
    const fs::path tree = dir / "tree";
    makeTree(tree, files, folders);

    // The bare loop, the tree copy, then each CLI.
    const size_t contenders = clis.size() + 2;
    std::vector<std::vector<double>> seconds(contenders);
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < contenders; ++k) {
            // Each round starts with another contender, so none always runs on a cold cache.
            const size_t who = (k + static_cast<size_t>(round)) % contenders;
            const fs::path scratch = dir / ("run" + std::to_string(who));
            ops.removeTree(scratch);
            fs::create_directories(scratch);
            const auto start = Clock::now();
            if (who == 0) {
                copyLoop(tree.native(), (scratch / "copy").native());
            } else if (who == 1) {
                if (!ops.copyTree(tree, scratch / "copy", {}, {}).ok()) {
                    die("the tree copy failed");
                }
            } else {
                makeJob(scratch / "job", tree, scratch / "bak");
                runCli(clis[who - 2], scratch / "job");
            }
            seconds[who].push_back(std::chrono::duration<double>(Clock::now() - start).count());
            std::printf("round %d, %s: %.3f s\n", round + 1,
                        who == 0   ? "bare loop"
                        : who == 1 ? "copyTree"
                                   : vantrel::pathToUtf8(clis[who - 2]).c_str(),
                        seconds[who].back());
            std::fflush(stdout);
            ops.removeTree(scratch);
        }
    }
    const double bare = median(seconds[0]);
    std::printf("%d files in %d folders, %d rounds (medians):\n", files, folders, rounds);
    std::printf("  bare CopyFileExW loop      %.3f s\n", bare);
    const double copied = median(seconds[1]);
    std::printf("  RealFileOps::copyTree      %.3f s  (%.2f x the loop)\n", copied, copied / bare);
    for (size_t i = 0; i < clis.size(); ++i) {
        const double cli = median(seconds[i + 2]);
        std::printf("  %-26s %.3f s  (%.2f x the loop)\n", vantrel::pathToUtf8(clis[i]).c_str(),
                    cli, cli / bare);
    }
    ops.removeTree(dir);
    return 0;
}
