#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vantrel {

// The system's scheduler, for one entry of the current user: a Task Scheduler task on Windows
// (named, defined by task XML), a systemd user timer elsewhere (vantrel-backup@<name>.timer,
// its calendar set by a drop-in). Failures throw std::runtime_error with a Chinese text.
class SystemScheduler {
public:
    virtual ~SystemScheduler() = default;

    // Registers the entry, or replaces it, and enables it.
    virtual void install(const std::string& name, const std::string& definition) = 0;
    // Removes the entry; false when there was none.
    virtual bool remove(const std::string& name) = 0;
    // One line on the entry (enabled, next start); none when it is not registered.
    virtual std::optional<std::string> status(const std::string& name) = 0;
    // The names of the entries registered for any job of this user: the tasks named
    // "Vantrel <job key>" in Task Scheduler's root folder; the timer instances that carry the
    // drop-in `install` writes.
    virtual std::vector<std::string> jobEntries() = 0;

    // The system's own.
    static std::unique_ptr<SystemScheduler> make();
};

// Whether a Task Scheduler task's name is a job's: "Vantrel " and the eight lower-case hex
// digits of a job key, nothing else (a task of the user's own named "Vantrel ..." stays).
bool isJobTaskName(std::string_view name);

// The systemd user timer instances that carry the drop-in `install` writes, found in
// `unitFolder` (the user's systemd unit folder) as vantrel-backup@<instance>.timer.d/vantrel.conf.
std::vector<std::string> timerInstancesIn(const std::filesystem::path& unitFolder);

// Every job's entry removed (the uninstaller's clean-up): how many went, and the first reason
// one could not go; the others are removed all the same.
struct RemovedEntries {
    std::size_t count = 0;
    std::string firstError;
};
RemovedEntries removeEveryJobEntry(SystemScheduler& scheduler);

}  // namespace vantrel
