// The real vantrel.exe, driven as automation drives it: started in a working directory of its
// own, its controls found by id, its dialogs answered through their standard buttons.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/JobPresenter.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/records/RunHistory.h"
#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"
#include "winshell/ControlIds.h"
#include "winshell/WinText.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The text control a message box shows its text in.
constexpr int kMessageBoxText = 0xFFFF;

// Polls `found` until it gives a window, for up to ten seconds.
HWND waitFor(const std::function<HWND()>& found) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        if (HWND window = found()) {
            return window;
        }
        std::this_thread::sleep_for(20ms);
    }
    return nullptr;
}

// A top-level window of process `pid` with class `cls` and, when given, the caption.
HWND topWindow(DWORD pid, const wchar_t* cls, const wchar_t* caption = nullptr) {
    struct Search {
        DWORD pid;
        const wchar_t* cls;
        const wchar_t* caption;
        HWND found;
    } search{pid, cls, caption, nullptr};
    EnumWindows(
        [](HWND window, LPARAM lParam) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(lParam);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = {}, title[256] = {};
            GetClassNameW(window, name, 64);
            GetWindowTextW(window, title, 256);
            if (owner == s.pid && std::wstring_view(name) == s.cls &&
                (s.caption == nullptr || std::wstring_view(title) == s.caption)) {
                s.found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The control's own text: GetWindowTextW would give only the caption kept by the system for
// a window of another process, never what an edit control holds.
std::string textOf(HWND window) {
    std::wstring text(static_cast<std::size_t>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1,
                      L'\0');
    text.resize(static_cast<std::size_t>(
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return toUtf8(text);
}

// The vantrel.exe built beside the tests, or the one VANTREL_WINDOW_EXE names (an installed
// or unpacked copy).
fs::path windowProgram() {
    if (const wchar_t* given = _wgetenv(L"VANTREL_WINDOW_EXE"); given != nullptr && *given) {
        return given;
    }
    std::wstring buf(1024, L'\0');
    buf.resize(GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size())));
    return fs::path(buf).parent_path() / pathFromUtf8(VANTREL_WINDOW_FROM_TESTS);
}

// vantrel.exe running in `workDir`, with its main window found; ended at the latest here.
class RunningWindow {
public:
    explicit RunningWindow(const fs::path& workDir, const std::wstring& args = L"") {
        const fs::path exe = windowProgram();
        std::wstring line = L"\"" + exe.wstring() + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   workDir.c_str(), &si, &pi))
            << "cannot start " << exe;
        CloseHandle(pi.hThread);
        m_process = pi.hProcess;
        m_pid = pi.dwProcessId;
        // Found once shown, with its settings loaded, or once it asks something before it is
        // shown (bad settings). None turns up when the process ends first, as a second start
        // in one directory does.
        window = waitFor([this] {
            HWND found = topWindow(m_pid, kMainWindowClass);
            HWND box = topWindow(m_pid, L"#32770");
            found = found != nullptr && (IsWindowVisible(found) || (box && IsWindowVisible(box)))
                        ? found
                        : nullptr;
            return found != nullptr || WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0
                       ? found
                       : HWND_BROADCAST;
        });
        if (window == HWND_BROADCAST) {
            window = nullptr;
        }
    }
    RunningWindow(const RunningWindow&) = delete;
    RunningWindow& operator=(const RunningWindow&) = delete;
    ~RunningWindow() {
        if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process, 9);
            WaitForSingleObject(m_process, 10'000);
        }
        CloseHandle(m_process);
    }

    HWND control(int id) const { return GetDlgItem(window, id); }
    std::string text(int id) const { return textOf(control(id)); }
    bool checked(int id) const {
        return SendMessageW(control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    // A click as the button gets it from the mouse, without waiting for what it opens.
    void click(int id) const { PostMessageW(control(id), BM_CLICK, 0, 0); }
    // A log viewer once shown, its lines loaded.
    HWND logViewer() const {
        return waitFor([this] {
            HWND viewer = topWindow(m_pid, kLogWindowClass, L"操作日志");
            return viewer != nullptr && IsWindowVisible(viewer) ? viewer : nullptr;
        });
    }
    // Once a run has ended: its commands back, its progress and 取消 gone.
    bool runEnded() const {
        return waitFor([this] {
                   return IsWindowEnabled(control(IDC_BUTTON10)) &&
                                  !IsWindowVisible(control(IDC_PROGRESSBAR)) &&
                                  !IsWindowVisible(control(IDC_CANCELBUTTON))
                              ? window
                              : nullptr;
               }) != nullptr;
    }
    // A dialog once shown, when its controls are made.
    HWND dialog(const wchar_t* caption) const {
        return waitFor([&] {
            HWND box = topWindow(m_pid, L"#32770", caption);
            return box != nullptr && IsWindowVisible(box) ? box : nullptr;
        });
    }
    HWND window = nullptr;
    // Exit status once it ended within `ms`, else -1.
    int exitCode(DWORD ms) const {
        if (WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(m_process, &code);
        return static_cast<int>(code);
    }
    DWORD pid() const { return m_pid; }
    // Selects a row of a list view of the window's process: the message takes a pointer, so
    // the item goes through memory of that process.
    void selectRow(HWND list, int row) const {
        LVITEMW item{};
        item.stateMask = item.state = LVIS_SELECTED | LVIS_FOCUSED;
        void* remote = VirtualAllocEx(m_process, nullptr, sizeof item, MEM_COMMIT, PAGE_READWRITE);
        WriteProcessMemory(m_process, remote, &item, sizeof item, nullptr);
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(remote));
        VirtualFreeEx(m_process, remote, 0, MEM_RELEASE);
    }
    // A cell of a list view of the window's process, read as selectRow writes.
    std::string itemText(HWND list, int row, int column) const {
        struct Remote {
            LVITEMW item;
            wchar_t text[512];
        } local{};
        auto* remote = static_cast<Remote*>(
            VirtualAllocEx(m_process, nullptr, sizeof local, MEM_COMMIT, PAGE_READWRITE));
        local.item.iSubItem = column;
        local.item.pszText = remote->text;
        local.item.cchTextMax = 512;
        WriteProcessMemory(m_process, remote, &local, sizeof local, nullptr);
        SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(remote));
        ReadProcessMemory(m_process, remote, &local, sizeof local, nullptr);
        VirtualFreeEx(m_process, remote, 0, MEM_RELEASE);
        return toUtf8(std::wstring(local.text, wcsnlen(local.text, 512)));
    }

    // A status bar panel's text, or its tooltip's, read through memory of the window's
    // process: the status bar's messages take a pointer, which another process cannot give it.
    std::string statusText(int part, bool tip = false) const {
        HWND bar = control(IDC_STATUSBAR1);
        // Room for the text to grow between asking its length and reading it.
        std::wstring text(
            std::max<std::size_t>(2048, LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, part, 0)) + 1u),
            L'\0');
        const SIZE_T bytes = text.size() * sizeof(wchar_t);
        void* remote = VirtualAllocEx(m_process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
        SendMessageW(bar, tip ? SB_GETTIPTEXTW : SB_GETTEXTW,
                     tip ? MAKEWPARAM(part, text.size()) : static_cast<WPARAM>(part),
                     reinterpret_cast<LPARAM>(remote));
        ReadProcessMemory(m_process, remote, text.data(), bytes, nullptr);
        VirtualFreeEx(m_process, remote, 0, MEM_RELEASE);
        text.resize(wcsnlen(text.c_str(), text.size()));
        return toUtf8(text);
    }
    // Waits until status panel 1 reads something that starts with `head`; gives what it read.
    std::string waitForStatus(std::string_view head) const {
        std::string status;
        waitFor([&] {
            status = statusText(1);
            return status.starts_with(head) ? window : nullptr;
        });
        return status;
    }

private:
    HANDLE m_process = nullptr;
    DWORD m_pid = 0;
};

class WindowsUi : public ::testing::Test {
protected:
    WindowsUi() : work(tmp / "任务") { fs::create_directories(work); }

    void writeConfig(const std::string& utf8) {
        test::writeBytes(work / "config.ini", utf8ToGbk("[备份设置]\r\n" + utf8));
    }
    // A job backing up `src/data`, `folders` of 30 files each, into `bak`.
    void writeJob(int folders) {
        for (int f = 0; f < folders; ++f) {
            fs::create_directories(tmp / "src/data" / std::to_string(f));
            for (int i = 0; i < 30; ++i) {
                test::writeBytes(
                    tmp / "src/data" / std::to_string(f) / (std::to_string(i) + ".txt"),
                    "file " + std::to_string(i));
            }
        }
        fs::create_directories(tmp / "bak");
        writeConfig("备份文件源地址=" + pathToUtf8(tmp / "src/data") +
                    "\r\n备份文件目的地址=" + pathToUtf8(tmp / "bak") + "\r\n");
    }
    // What the target folder holds beside the runs' lock files and the job's mark.
    std::vector<std::string> inTarget() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp / "bak")) {
            const std::string name = pathToUtf8(entry.path().filename());
            if (!name.ends_with(".lock") && !name.ends_with(".mark")) {
                names.push_back(name);
            }
        }
        return names;
    }
    std::size_t records() const {
        return BackupRecordStore(work / "wenjianming.mdb").list().size();
    }

    test::TempDir tmp;
    fs::path work;
};

TEST_F(WindowsUi, ShowsTheFieldsOfConfigIniAndItsCaptionsInOrder) {
    writeConfig(
        "备份文件源地址=D:\\工作\\数据\r\n备份文件目的地址=E:\\备份\r\n定时时刻=9:30:00\r\n"
        "备份频率=星期一;星期三;\r\n备份个数=3\r\n");
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    EXPECT_EQ(app.text(IDC_EDIT1), "D:\\工作\\数据");
    EXPECT_EQ(app.text(IDC_EDIT2), "E:\\备份");
    EXPECT_EQ(app.text(IDC_DBNUMBEREDITEH1), "3");
    for (int day = 0; day < 7; ++day) {
        EXPECT_EQ(app.checked(kDayBoxIds[day]), day == 0 || day == 2) << "day " << day;
    }
    // The panel shortens the folder in the middle; its tooltip has all of it.
    EXPECT_EQ(app.statusText(0, true), "工作目录：" + pathToUtf8(work));
    EXPECT_TRUE(app.statusText(0).starts_with("工作目录："));
    EXPECT_TRUE(app.statusText(0).ends_with("任务"));

    const std::pair<int, const char*> commands[] = {{IDC_BUTTON6, "保存配置信息"},
                                                    {IDC_BUTTON8, "启动备份计划"},
                                                    {IDC_BUTTON9, "终止备份计划"},
                                                    {IDC_BUTTON10, "手动执行备份"},
                                                    {IDC_BUTTON7, "查看操作日志"}};
    LONG left = -1;
    for (const auto& [id, caption] : commands) {
        EXPECT_EQ(app.text(id), caption);
        RECT r{};
        GetWindowRect(app.control(id), &r);
        EXPECT_GT(r.left, left) << caption;
        left = r.left;
    }
    EXPECT_EQ(app.text(IDC_GROUPBOX2), "执行周期");
    EXPECT_EQ(app.text(IDC_CHECKBOX2), "星期二 ");
}

TEST_F(WindowsUi, SaveShowsTheValidationMessageThenWritesConfigIniInGbk) {
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    app.click(IDC_BUTTON6);
    HWND box = app.dialog(L"Vantrel");
    ASSERT_NE(box, nullptr) << "no message box";
    EXPECT_EQ(textOf(GetDlgItem(box, kMessageBoxText)), "请输入要备份的文件地址！");
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    ASSERT_EQ(waitFor([&] { return IsWindow(box) ? nullptr : app.window; }), app.window);
    EXPECT_FALSE(fs::exists(work / "config.ini"));

    SetWindowTextW(app.control(IDC_EDIT1), L"D:\\资料");
    SetWindowTextW(app.control(IDC_EDIT2), L"E:\\备份");
    SetWindowTextW(app.control(IDC_DBNUMBEREDITEH1), L"2");
    SendMessageW(app.control(IDC_CHECKBOX6), BM_SETCHECK, BST_CHECKED, 0);
    app.click(IDC_BUTTON6);
    ASSERT_EQ(waitFor([&] { return fs::exists(work / "config.ini") ? app.window : nullptr; }),
              app.window);
    const std::string saved = gbkToUtf8(test::readBytes(work / "config.ini"));
    EXPECT_NE(saved.find("备份文件源地址=D:\\资料\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("备份频率=星期六 ;\r\n"), std::string::npos) << saved;
    EXPECT_EQ(app.statusText(1), "配置文件保存完毕!");
}

TEST_F(WindowsUi, ABadValueInConfigIniIsNamedAndTheOtherFieldsAreFilled) {
    writeConfig("备份文件源地址=D:\\资料\r\n备份个数=abc\r\n按月保留=6\r\n");
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    HWND box = app.dialog(L"Vantrel");
    ASSERT_NE(box, nullptr) << "no message box";
    EXPECT_TRUE(textOf(GetDlgItem(box, kMessageBoxText))
                    .starts_with("config.ini 中“备份个数”的值“abc”无效：不是有效的数值。"))
        << textOf(GetDlgItem(box, kMessageBoxText));
    EXPECT_EQ(app.text(IDC_EDIT1), "D:\\资料");
    EXPECT_EQ(app.text(IDC_DBNUMBEREDITEH1), "");
    EXPECT_EQ(app.text(IDC_KEEPMONTHLY), "6");
    // Each count says its unit.
    EXPECT_EQ(app.text(IDC_KEEPMONTHLYUNIT), "个月");
    EXPECT_EQ(app.text(IDC_KEEPYEARLYUNIT), "年");
}

TEST_F(WindowsUi, TheRulesAndRetentionFieldsSaveToConfigIniAndPreviewListsWhatIsLeftOut) {
    writeJob(1);
    test::writeBytes(tmp / "src/data/a.tmp", "12345");
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    SetWindowTextW(app.control(IDC_DBNUMBEREDITEH1), L"2");
    SendMessageW(app.control(IDC_CHECKBOX1), BM_SETCHECK, BST_CHECKED, 0);
    SetWindowTextW(app.control(IDC_EXCLUDERULES), L"*.tmp|缓存/");
    SetWindowTextW(app.control(IDC_KEEPMONTHLY), L"6");
    SetWindowTextW(app.control(IDC_KEEPYEARLY), L"3");
    app.click(IDC_BUTTON6);
    ASSERT_EQ(app.waitForStatus("配置文件保存完毕!"), "配置文件保存完毕!");
    const std::string saved = gbkToUtf8(test::readBytes(work / "config.ini"));
    for (const char* line : {"排除规则=*.tmp|缓存/\r\n", "按月保留=6\r\n", "按年保留=3\r\n"}) {
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in " << saved;
    }

    app.click(IDC_EXCLUDEPREVIEW);
    HWND box = app.dialog(L"Vantrel");
    ASSERT_NE(box, nullptr) << "no preview";
    EXPECT_EQ(textOf(GetDlgItem(box, IDC_LISTCAPTION)), "排除 1 项，共 5 B");
    EXPECT_NE(textOf(GetDlgItem(box, IDC_LISTTEXT)).find("a.tmp"), std::string::npos);
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
}

TEST_F(WindowsUi, AManualBackupMakesTheCopyLogLineAndRecordThatTheLogViewerShows) {
    writeJob(1);
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    app.click(IDC_BUTTON10);
    const std::string done = app.waitForStatus("文件备份完毕！用时");
    ASSERT_TRUE(done.starts_with("文件备份完毕！用时")) << done;
    EXPECT_NE(done.find("30 个文件"), std::string::npos) << done;
    ASSERT_TRUE(app.runEnded());
    const std::vector<std::string> made = inTarget();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made[0].starts_with("data_")) << made[0];
    EXPECT_EQ(test::readBytes(tmp / "bak" / made[0] / "0/7.txt"), "file 7");
    EXPECT_EQ(records(), 1u);

    app.click(IDC_BUTTON7);
    HWND viewer = app.logViewer();
    ASSERT_NE(viewer, nullptr) << "no log viewer";
    const std::string memo = textOf(GetDlgItem(viewer, IDC_MEMO1));
    EXPECT_NE(memo.find("成功备份至"), std::string::npos) << memo;
    EXPECT_NE(memo.find(made[0]), std::string::npos) << memo;
}

TEST_F(WindowsUi, TheRunShowsItsProgressAndCancelRemovesTheUnfinishedCopy) {
    writeJob(100);  // 3000 files: under Wine a copy of a few seconds, stopped half-way
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    // On a busy machine a copy may end before 取消 reaches it; the next one is stopped then,
    // and must leave the target and the records as they were before it.
    std::string status, progress;
    std::vector<std::string> before;
    std::size_t recordsBefore = 0;
    for (int attempt = 0; attempt < 3 && status != "文件备份已取消"; ++attempt) {
        before = inTarget();
        recordsBefore = records();
        app.click(IDC_BUTTON10);
        // Files done of the total in the status, the share done on the bar, the command off.
        waitFor([&] {
            progress = app.statusText(1);
            return progress.starts_with("文件备份中…… ") &&
                           textOf(app.control(IDC_PROGRESSBAR)).find('%') != std::string::npos &&
                           !IsWindowEnabled(app.control(IDC_BUTTON10))
                       ? app.window
                       : nullptr;
        });
        // 取消 and the bar are shown over the status bar, which leaves them unpainted.
        for (const int id : {IDC_CANCELBUTTON, IDC_PROGRESSBAR}) {
            HWND shown = app.control(id);
            RECT r{};
            GetWindowRect(shown, &r);
            POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
            ScreenToClient(app.window, &centre);
            EXPECT_TRUE(IsWindowVisible(shown)) << id;
            EXPECT_EQ(ChildWindowFromPointEx(app.window, centre, CWP_SKIPINVISIBLE), shown) << id;
        }
        EXPECT_TRUE(GetWindowLongPtrW(app.control(IDC_STATUSBAR1), GWL_STYLE) & WS_CLIPSIBLINGS);
        app.click(IDC_CANCELBUTTON);
        ASSERT_TRUE(app.runEnded());
        status = app.statusText(1);
    }
    ASSERT_EQ(status, "文件备份已取消") << "no run was stopped";
    EXPECT_NE(progress.find("/3000 个文件"), std::string::npos) << progress;
    EXPECT_EQ(inTarget(), before);
    EXPECT_EQ(records(), recordsBefore);
}

// Log-off during a run: the run is cancelled, its unfinished copy removed and its history row
// written before the window ends.
TEST_F(WindowsUi, LogOffDuringARunCancelsItAndItsHistoryRowSaysWhy) {
    writeJob(100);
    // On a busy machine a copy may end before the session does; the next one is tried then.
    std::optional<RunRecord> newest;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::vector<std::string> before = inTarget();
        RunningWindow app(work);
        ASSERT_NE(app.window, nullptr) << "no main window";
        app.click(IDC_BUTTON10);
        app.waitForStatus("文件备份中…… ");
        DWORD_PTR answer = 0;
        ASSERT_TRUE(SendMessageTimeoutW(app.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                        SMTO_ABORTIFHUNG, 10'000, &answer));
        EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
        SendMessageTimeoutW(app.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                            30'000, &answer);
        EXPECT_EQ(app.exitCode(10'000), 0);
        newest = RunHistory(work / "wenjianming.mdb").list(1).front();
        if (newest->outcome == RunOutcome::Cancelled) {
            EXPECT_EQ(inTarget(), before);
            break;
        }
    }
    ASSERT_EQ(newest->outcome, RunOutcome::Cancelled) << "no run was stopped";
    EXPECT_EQ(newest->message, "已取消：系统关机或注销");
}

TEST_F(WindowsUi, TheRestoreWindowBringsADeletedFileBackToItsPlace) {
    fs::create_directories(tmp / "src/data");
    fs::create_directories(tmp / "bak");
    test::writeBytes(tmp / "src/data/a.txt", "alpha");
    test::writeBytes(tmp / "src/data/b.txt", "beta");
    fs::create_directories(tmp / "src/data/报表/2024");
    test::writeBytes(tmp / "src/data/报表/2024/3月报表.txt", "march");
    writeConfig("备份文件源地址=" + pathToUtf8(tmp / "src/data") +
                "\r\n备份文件目的地址=" + pathToUtf8(tmp / "bak") + "\r\n");
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    app.click(IDC_BUTTON10);
    ASSERT_TRUE(app.waitForStatus("文件备份完毕！用时").starts_with("文件备份完毕！用时"));
    ASSERT_TRUE(app.runEnded());
    fs::remove(tmp / "src/data/a.txt");

    app.click(IDC_BUTTONRESTORE);
    HWND restore = waitFor([&] {
        HWND found = topWindow(app.pid(), kRestoreWindowClass, L"恢复文件");
        return found != nullptr && IsWindowVisible(found) ? found : nullptr;
    });
    ASSERT_NE(restore, nullptr) << "no restore window";
    EXPECT_EQ(ListView_GetItemCount(GetDlgItem(restore, IDC_COPYLIST)), 1);
    HWND entries = GetDlgItem(restore, IDC_ENTRYLIST);
    EXPECT_EQ(ListView_GetItemCount(entries), 3);
    // The name searched for is found anywhere in the copy, shown with its folder.
    HWND filter = GetDlgItem(restore, IDC_NAMEFILTER);
    SendMessageW(filter, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"3月"));
    HWND folder = GetDlgItem(restore, IDC_FOLDERLABEL);
    EXPECT_EQ(waitFor([&] { return textOf(folder) == "查找“3月”：找到 1 项" ? folder : nullptr; }),
              folder)
        << textOf(folder);
    ASSERT_EQ(ListView_GetItemCount(entries), 1);
    EXPECT_EQ(app.itemText(entries, 0, 0), "3月报表.txt");
    EXPECT_EQ(app.itemText(entries, 0, 1), "报表\\2024");
    SendMessageW(filter, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    ASSERT_EQ(waitFor([&] { return ListView_GetItemCount(entries) == 3 ? entries : nullptr; }),
              entries);
    // Only what the source lacks; chosen, it shows its one version.
    PostMessageW(GetDlgItem(restore, IDC_SHOWDELETED), BM_CLICK, 0, 0);
    ASSERT_EQ(waitFor([&] { return ListView_GetItemCount(entries) == 1 ? entries : nullptr; }),
              entries);
    app.selectRow(entries, 0);
    HWND versions = GetDlgItem(restore, IDC_VERSIONLIST);
    EXPECT_EQ(waitFor([&] { return ListView_GetItemCount(versions) == 1 ? versions : nullptr; }),
              versions);
    EXPECT_EQ(app.itemText(versions, 0, 1), "5 B");

    PostMessageW(GetDlgItem(restore, IDC_RESTOREORIGINAL), BM_CLICK, 0, 0);
    HWND box = app.dialog(L"Vantrel");
    ASSERT_NE(box, nullptr) << "no summary";
    EXPECT_TRUE(textOf(GetDlgItem(box, IDC_LISTCAPTION)).starts_with("恢复完毕：已恢复 1 个文件"))
        << textOf(GetDlgItem(box, IDC_LISTCAPTION));
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(test::readBytes(tmp / "src/data/a.txt"), "alpha");
    EXPECT_EQ(test::readBytes(tmp / "src/data/b.txt"), "beta");

    // 永久保留 marks the chosen copy, and then offers to take the mark away.
    HWND pin = GetDlgItem(restore, IDC_PINCOPY);
    EXPECT_EQ(textOf(pin), "永久保留");
    PostMessageW(pin, BM_CLICK, 0, 0);
    EXPECT_EQ(waitFor([&] { return textOf(pin) == "取消永久保留" ? pin : nullptr; }), pin);
    EXPECT_TRUE(BackupRecordStore(work / "wenjianming.mdb").list().front().pinned);
}

// What Explorer's 以前的版本（Vantrel） starts, as the installer registers it; empty where it is
// not installed.
std::wstring explorerVerb() {
    wchar_t command[1024] = {};
    DWORD size = sizeof command;
    return RegGetValueW(HKEY_CURRENT_USER,
                        L"Software\\Classes\\*\\shell\\VantrelPreviousVersions\\command", nullptr,
                        RRF_RT_REG_SZ, nullptr, command, &size) == ERROR_SUCCESS
               ? command
               : L"";
}

TEST_F(WindowsUi, RestoreOpensTheJobOfAPathAtItAndASecondStartUsesThatWindow) {
    // The list of job folders in a folder of the test's own; the windows started inherit it.
    const std::wstring appData = _wgetenv(L"APPDATA") != nullptr ? _wgetenv(L"APPDATA") : L"";
    _wputenv_s(L"APPDATA", (tmp.path() / L"appdata").c_str());
    struct Restore {
        std::wstring value;
        ~Restore() { _wputenv_s(L"APPDATA", value.c_str()); }
    } restoreAppData{appData};

    fs::create_directories(tmp / "src/data/子");
    fs::create_directories(tmp / "bak");
    test::writeBytes(tmp / "src/data/子/报告.txt", "alpha");
    writeConfig("备份文件源地址=" + pathToUtf8(tmp / "src/data") +
                "\r\n备份文件目的地址=" + pathToUtf8(tmp / "bak") + "\r\n");
    {
        RunningWindow job(work);  // puts the job on the list
        ASSERT_NE(job.window, nullptr) << "no main window";
        job.click(IDC_BUTTON10);
        ASSERT_TRUE(job.waitForStatus("文件备份完毕！用时").starts_with("文件备份完毕！用时"));
        ASSERT_TRUE(job.runEnded());
    }
    const std::wstring verb = explorerVerb();
    if (!verb.empty()) {
        const std::wstring want = L"\"" + windowProgram().wstring() + L"\" --restore \"%1\"";
        EXPECT_EQ(_wcsicmp(verb.c_str(), want.c_str()), 0) << toUtf8(verb);
    }

    // Started elsewhere, for the file: its job's restore window, the file chosen in its folder.
    const fs::path file = tmp / "src/data/子/报告.txt";
    RunningWindow app(tmp.path(), L"--restore \"" + file.wstring() + L"\"");
    ASSERT_NE(app.window, nullptr) << "no main window";
    HWND restore = waitFor([&] {
        HWND found = topWindow(app.pid(), kRestoreWindowClass, L"恢复文件");
        return found != nullptr && IsWindowVisible(found) ? found : nullptr;
    });
    ASSERT_NE(restore, nullptr) << "no restore window";
    HWND versions = GetDlgItem(restore, IDC_VERSIONLIST);
    EXPECT_EQ(waitFor([&] { return ListView_GetItemCount(versions) == 1 ? versions : nullptr; }),
              versions);
    EXPECT_EQ(textOf(GetDlgItem(restore, IDC_FOLDERLABEL)), "子");
    EXPECT_EQ(ListView_GetNextItem(GetDlgItem(restore, IDC_ENTRYLIST), -1, LVNI_SELECTED), 0);

    // A second start for the source folder hands it to that window and ends.
    RunningWindow second(tmp.path(), L"--restore \"" + (tmp / "src/data").wstring() + L"\"");
    EXPECT_EQ(second.exitCode(10'000), 0);
    HWND label = GetDlgItem(restore, IDC_FOLDERLABEL);
    EXPECT_EQ(waitFor([&] { return textOf(label) == "（源文件夹）" ? label : nullptr; }), label);
}

TEST_F(WindowsUi, CloseAsksAndOnlyYesEnds) {
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    // No, then Escape, keep the window; Yes ends the program.
    for (const int answer : {IDNO, IDCANCEL, IDYES}) {
        PostMessageW(app.window, WM_CLOSE, 0, 0);
        HWND box = app.dialog(kConfirmCaption);
        ASSERT_NE(box, nullptr) << "no question for answer " << answer;
        EXPECT_EQ(textOf(GetDlgItem(box, IDC_QUESTION)), "您确定要退出该系统吗？");
        EXPECT_EQ(GetWindow(box, GW_OWNER), app.window);
        if (answer == IDCANCEL) {
            // Escape, pressed while the default button Yes has the focus.
            PostMessageW(GetDlgItem(box, IDYES), WM_KEYDOWN, VK_ESCAPE, 0);
        } else {
            PostMessageW(GetDlgItem(box, answer), BM_CLICK, 0, 0);
        }
        ASSERT_EQ(waitFor([&] { return IsWindow(box) ? nullptr : app.window; }), app.window);
        if (answer != IDYES) {
            EXPECT_TRUE(IsWindow(app.window)) << "closed on " << answer;
        }
    }
    EXPECT_EQ(app.exitCode(10'000), 0);
}

// The tray menu's commands, sent as the menu sends them: the timetable started, a backup made,
// and 退出 asking as closing does, then 保存/不保存/取消 for fields not saved.
TEST_F(WindowsUi, TheTrayMenusCommandsWorkAndExitOffersToSaveChanges) {
    writeJob(1);
    writeConfig("备份文件源地址=" + pathToUtf8(tmp / "src/data") + "\r\n备份文件目的地址=" +
                pathToUtf8(tmp / "bak") + "\r\n备份频率=星期四;\r\n备份个数=2\r\n");
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    const auto command = [&](JobPresenter::TrayCommand c) {
        PostMessageW(app.window, WM_COMMAND, MAKEWPARAM(IDM_TRAY1 + static_cast<int>(c), 0), 0);
    };
    command(JobPresenter::TrayCommand::StartTimetable);
    EXPECT_EQ(app.waitForStatus("启动备份计划"), "启动备份计划");
    command(JobPresenter::TrayCommand::BackUpNow);
    EXPECT_TRUE(waitFor([&] { return records() == 1 ? app.window : nullptr; }));
    ASSERT_TRUE(app.runEnded());

    SendMessageW(app.control(IDC_CHECKBOX1), BM_SETCHECK, BST_CHECKED, 0);  // not saved
    // 取消 keeps the window; then 保存 writes the field and the program ends.
    for (const int answer : {IDCANCEL, IDYES}) {
        command(JobPresenter::TrayCommand::Exit);
        HWND close = app.dialog(kConfirmCaption);
        ASSERT_NE(close, nullptr) << "no close question";
        EXPECT_EQ(textOf(GetDlgItem(close, IDC_QUESTION)), "您确定要退出该系统吗？");
        PostMessageW(GetDlgItem(close, IDYES), BM_CLICK, 0, 0);
        HWND save = waitFor([&] {
            HWND box = topWindow(app.pid(), L"#32770", kConfirmCaption);
            return box != close && box != nullptr && IsWindowVisible(box) ? box : nullptr;
        });
        ASSERT_NE(save, nullptr) << "no question on the unsaved field";
        EXPECT_EQ(textOf(GetDlgItem(save, IDC_QUESTION)),
                  "配置信息已修改，尚未保存。退出前保存吗？");
        EXPECT_EQ(textOf(GetDlgItem(save, IDNO)), "不保存(&N)");
        PostMessageW(GetDlgItem(save, answer), BM_CLICK, 0, 0);
        ASSERT_EQ(waitFor([&] { return IsWindow(save) ? nullptr : app.window; }), app.window);
    }
    EXPECT_EQ(app.exitCode(10'000), 0);
    EXPECT_NE(gbkToUtf8(test::readBytes(work / "config.ini")).find("备份频率=星期一;"),
              std::string::npos);
}

TEST_F(WindowsUi, TheLogViewerLoadsReloadsAndEmptiesOnlyAfterYes) {
    const std::string first =
        "140515 9:59:50   D:\\数据   成功备份至   E:\\备份\\数据_20140515\r\n";
    const std::string second =
        "140516 9:59:50   D:\\数据   成功备份至   E:\\备份\\数据_20140516\r\n";
    fs::create_directories(work / "Log");
    const fs::path log = work / "Log/FileBackupLog.log";
    test::writeBytes(log, utf8ToGbk(first));
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    app.click(IDC_BUTTON7);
    HWND viewer = app.logViewer();
    ASSERT_NE(viewer, nullptr) << "no log viewer";
    HWND memo = GetDlgItem(viewer, IDC_MEMO1);
    EXPECT_EQ(textOf(memo), first);

    // It does not follow the file; 刷新 reads it again.
    test::writeBytes(log, utf8ToGbk(first + second));
    EXPECT_EQ(textOf(memo), first);
    PostMessageW(viewer, WM_COMMAND, IDM_N1, 0);
    EXPECT_EQ(waitFor([&] { return textOf(memo) == first + second ? memo : nullptr; }), memo);

    // 清除 asks; No keeps both, Yes empties both.
    for (const int answer : {IDNO, IDYES}) {
        PostMessageW(viewer, WM_COMMAND, IDM_N2, 0);
        HWND box = app.dialog(kConfirmCaption);
        ASSERT_NE(box, nullptr) << "no question for answer " << answer;
        EXPECT_EQ(textOf(GetDlgItem(box, IDC_QUESTION)), "您确定要清除现有的日志信息吗？");
        PostMessageW(GetDlgItem(box, answer), BM_CLICK, 0, 0);
        ASSERT_EQ(waitFor([&] { return IsWindow(box) ? nullptr : memo; }), memo);
        const std::string kept = answer == IDNO ? first + second : "";
        EXPECT_EQ(textOf(memo), kept) << "answer " << answer;
        EXPECT_EQ(gbkToUtf8(test::readBytes(log)), kept) << "answer " << answer;
    }
}

// The icons in Wine's notification area: the windows its graphics driver makes for them, in
// its own tray window where the desktop has no notification area of its own.
std::vector<HWND> trayIcons() {
    std::vector<HWND> icons;
    for (const auto& [tray, icon] :
         {std::pair{L"__winex11_standalone_tray", L"__winex11_tray_icon"},
          std::pair{L"Shell_TrayWnd", L"__wine_tray_icon"}}) {
        for (HWND parent = nullptr; (parent = FindWindowExW(nullptr, parent, tray, nullptr));) {
            for (HWND found = nullptr; (found = FindWindowExW(parent, found, icon, nullptr));) {
                icons.push_back(found);
            }
        }
    }
    return icons;
}

// Wine's null graphics driver has no notification area, and the window then minimises on the
// taskbar; scripts/test-windows runs this test again under Xvfb, which has one, with
// VANTREL_EXPECT_TRAY set.
TEST_F(WindowsUi, MinimiseHidesTheWindowInTheTrayAndAPressOnTheIconBringsItBack) {
    writeConfig("备份文件源地址=D:\\资料\r\n");
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    const std::size_t before = trayIcons().size();
    PostMessageW(app.window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_EQ(waitFor([&] {
                  return IsWindowVisible(app.window) && !IsIconic(app.window) ? nullptr
                                                                              : app.window;
              }),
              app.window)
        << "neither hidden nor minimised";
    if (IsWindowVisible(app.window) && _wgetenv(L"VANTREL_EXPECT_TRAY") == nullptr) {
        GTEST_SKIP() << "no notification area here: minimised on the taskbar instead";
    }
    ASSERT_FALSE(IsWindowVisible(app.window)) << "minimised on the taskbar, not in the tray";
    HWND icon = waitFor([&] {
        const std::vector<HWND> icons = trayIcons();
        return icons.size() > before ? icons.back() : nullptr;
    });
    ASSERT_NE(icon, nullptr) << "no icon in the notification area";

    // The press goes to the icon's window, which tells ours, as a click does.
    PostMessageW(icon, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    PostMessageW(icon, WM_LBUTTONUP, 0, 0);
    ASSERT_EQ(waitFor([&] { return IsWindowVisible(app.window) ? app.window : nullptr; }),
              app.window)
        << "not brought back";
    EXPECT_EQ(waitFor([&] { return trayIcons().size() == before ? app.window : nullptr; }),
              app.window)
        << "the icon stayed";
    EXPECT_EQ(app.text(IDC_EDIT1), "D:\\资料");
}

TEST_F(WindowsUi, ASecondStartInTheFolderBringsTheFirstForwardAndEnds) {
    RunningWindow app(work);
    ASSERT_NE(app.window, nullptr) << "no main window";
    RunningWindow second(work);
    EXPECT_EQ(second.exitCode(10'000), 0);
    EXPECT_EQ(second.window, nullptr);
    EXPECT_TRUE(IsWindow(app.window));
}

}  // namespace
}  // namespace vantrel
