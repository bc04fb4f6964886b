#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "platform/SystemScheduler.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

std::wstring wide(const std::string& utf8) {
    return pathFromUtf8(utf8).wstring();
}

std::string utf8(const wchar_t* text) {
    return pathToUtf8(std::filesystem::path(text != nullptr ? text : L""));
}

[[noreturn]] void fail(const char* what, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    throw std::runtime_error(std::string("任务计划程序无法") + what + "（错误 " + code + "）");
}

// A COM reference released at the end of its scope.
template <typename T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }
    void reset() {
        if (p != nullptr) {
            p->Release();
            p = nullptr;
        }
    }
    T* operator->() const { return p; }
};

struct Bstr {
    BSTR b;
    explicit Bstr(const std::wstring& text) : b(SysAllocString(text.c_str())) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(b); }
};

// Where the service cannot list its tasks (Wine does not implement the collection), the
// root folder's tasks are read from the files it keeps them in, System32\Tasks.
std::vector<std::string> storedTaskNames() {
    std::vector<std::string> names;
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return names;
    }
    std::error_code ec;
    for (std::filesystem::directory_iterator it(std::filesystem::path(system) / L"Tasks", ec), end;
         !ec && it != end; it.increment(ec)) {
        std::string name = pathToUtf8(it->path().filename());
        if (isJobTaskName(name)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

// The current user's tasks in the root folder of Task Scheduler, through its COM service.
class TaskSchedulerTasks final : public SystemScheduler {
public:
    TaskSchedulerTasks() {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        m_uninit = SUCCEEDED(init);  // another apartment kind already set is fine as it is
        if (const HRESULT hr =
                CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_ITaskService, reinterpret_cast<void**>(&m_service.p));
            FAILED(hr)) {
            fail("启动", hr);
        }
        VARIANT none;
        VariantInit(&none);
        if (const HRESULT hr = m_service->Connect(none, none, none, none); FAILED(hr)) {
            fail("连接", hr);
        }
        Bstr root(L"\\");
        if (const HRESULT hr = m_service->GetFolder(root.b, &m_folder.p); FAILED(hr)) {
            fail("打开任务文件夹", hr);
        }
    }
    ~TaskSchedulerTasks() override {
        // Released before COM ends in this thread.
        m_folder.reset();
        m_service.reset();
        if (m_uninit) {
            CoUninitialize();
        }
    }

    void install(const std::string& name, const std::string& definition) override {
        Bstr path(wide(name)), xml(wide(definition));
        VARIANT none;
        VariantInit(&none);
        Ref<IRegisteredTask> task;
        if (const HRESULT hr =
                m_folder->RegisterTask(path.b, xml.b, TASK_CREATE_OR_UPDATE, none, none,
                                       TASK_LOGON_INTERACTIVE_TOKEN, none, &task.p);
            FAILED(hr)) {
            fail("登记任务", hr);
        }
    }

    bool remove(const std::string& name) override {
        Bstr path(wide(name));
        const HRESULT hr = m_folder->DeleteTask(path.b, 0);
        if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
            return false;
        }
        if (FAILED(hr)) {
            fail("删除任务", hr);
        }
        return true;
    }

    std::optional<std::string> status(const std::string& name) override {
        Bstr path(wide(name));
        Ref<IRegisteredTask> task;
        const HRESULT hr = m_folder->GetTask(path.b, &task.p);
        if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
            return std::nullopt;
        }
        if (FAILED(hr)) {
            fail("读取任务", hr);
        }
        VARIANT_BOOL enabled = VARIANT_FALSE;
        task->get_Enabled(&enabled);
        std::string line = "任务计划程序中的任务“" + name + "”：" +
                           (enabled != VARIANT_FALSE ? "已启用" : "已禁用");
        DATE next = 0;
        SYSTEMTIME at{};
        if (SUCCEEDED(task->get_NextRunTime(&next)) && next > 0 &&
            VariantTimeToSystemTime(next, &at)) {
            char text[40];
            std::snprintf(text, sizeof text, "，下次：%04u-%02u-%02u %02u:%02u:%02u", at.wYear,
                          at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond);
            line += text;
        }
        return line;
    }

    std::vector<std::string> jobEntries() override {
        Ref<IRegisteredTaskCollection> tasks;
        if (const HRESULT hr = m_folder->GetTasks(TASK_ENUM_HIDDEN, &tasks.p); FAILED(hr)) {
            fail("列出任务", hr);
        }
        std::vector<std::string> names;
        LONG count = 0;
        if (FAILED(tasks->get_Count(&count))) {
            return storedTaskNames();
        }
        for (LONG i = 1; i <= count; ++i) {  // the collection counts from 1
            VARIANT index;
            VariantInit(&index);
            index.vt = VT_I4;
            index.lVal = i;
            Ref<IRegisteredTask> task;
            BSTR name = nullptr;
            if (SUCCEEDED(tasks->get_Item(index, &task.p)) && SUCCEEDED(task->get_Name(&name))) {
                std::string text = utf8(name);
                SysFreeString(name);
                if (isJobTaskName(text)) {
                    names.push_back(std::move(text));
                }
            }
        }
        return names;
    }

private:
    bool m_uninit = false;
    Ref<ITaskService> m_service;
    Ref<ITaskFolder> m_folder;
};

}  // namespace

std::unique_ptr<SystemScheduler> SystemScheduler::make() {
    return std::make_unique<TaskSchedulerTasks>();
}

}  // namespace vantrel
