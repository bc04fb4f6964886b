#pragma once

#include <memory>
#include <optional>
#include <string>

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

    // The system's own.
    static std::unique_ptr<SystemScheduler> make();
};

}  // namespace vantrel
