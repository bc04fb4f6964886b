#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/SystemScheduler.h"
#include "platform/TextCodec.h"

extern char** environ;

namespace vantrel {

namespace {

namespace fs = std::filesystem;

// Runs `systemctl --user <args>` without a shell (unit names hold backslashes); its exit
// status, and its standard output in `out` when given.
int systemctl(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), {"systemctl", "--user"});
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (::pipe(pipeFds) != 0) {
        throw std::runtime_error("无法运行 systemctl：" + std::system_category().message(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n = 0; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    if (spawned != 0) {
        throw std::runtime_error("无法运行 systemctl：" + std::system_category().message(spawned));
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    if (out != nullptr) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        *out = text;
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

void mustRun(const std::vector<std::string>& args) {
    if (const int status = systemctl(args); status != 0) {
        std::string shown = "systemctl --user";
        for (const std::string& arg : args) {
            shown += " " + arg;
        }
        throw std::runtime_error(shown + " 失败（退出状态 " + std::to_string(status) + "）");
    }
}

std::string timerOf(const std::string& name) {
    return "vantrel-backup@" + name + ".timer";
}

// ~/.config/systemd/user ($XDG_CONFIG_HOME where set).
fs::path userUnitFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    fs::path base = config != nullptr && *config != '\0' ? pathFromUtf8(config)
                    : home != nullptr                    ? pathFromUtf8(home) / ".config"
                                                         : fs::path(".config");
    return base / "systemd" / "user";
}

fs::path dropInFolder(const std::string& name) {
    return userUnitFolder() / pathFromUtf8(timerOf(name) + ".d");
}

class SystemdTimers final : public SystemScheduler {
public:
    void install(const std::string& name, const std::string& definition) override {
        const fs::path folder = dropInFolder(name);
        std::error_code ec;
        fs::create_directories(folder, ec);
        std::ofstream file(folder / "vantrel.conf", std::ios::binary | std::ios::trunc);
        file << definition;
        file.close();
        if (ec || !file) {
            throw std::runtime_error("无法写入“" + pathToUtf8(folder / "vantrel.conf") + "”");
        }
        try {
            mustRun({"daemon-reload"});
            mustRun({"enable", "--now", timerOf(name)});
        } catch (const std::exception&) {
            fs::remove(folder / "vantrel.conf", ec);  // not registered: status must not say it is
            throw;
        }
    }

    bool remove(const std::string& name) override {
        // Only the drop-in written here goes; one the user added beside it stays.
        const fs::path folder = dropInFolder(name);
        std::error_code ec;
        const bool had = fs::exists(folder / "vantrel.conf", ec);
        systemctl({"disable", "--now", timerOf(name)});
        fs::remove(folder / "vantrel.conf", ec);
        fs::remove(folder, ec);  // only when nothing else is left in it
        systemctl({"daemon-reload"});
        return had;
    }

    std::optional<std::string> status(const std::string& name) override {
        std::error_code ec;
        if (!fs::exists(dropInFolder(name) / "vantrel.conf", ec)) {
            return std::nullopt;
        }
        std::string enabled, next;
        systemctl({"is-enabled", timerOf(name)}, &enabled);
        systemctl({"show", "--property=NextElapseUSecRealtime", "--value", timerOf(name)}, &next);
        return timerOf(name) + "：" +
               (enabled == "enabled" ? "已启用" : "未启用（" + enabled + "）") +
               (next.empty() ? "" : "，下次：" + next);
    }

    std::vector<std::string> jobEntries() override { return timerInstancesIn(userUnitFolder()); }
};

}  // namespace

std::unique_ptr<SystemScheduler> SystemScheduler::make() {
    return std::make_unique<SystemdTimers>();
}

}  // namespace vantrel
