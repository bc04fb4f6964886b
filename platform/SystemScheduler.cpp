#include "platform/SystemScheduler.h"

#include <exception>

#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

bool isJobTaskName(std::string_view name) {
    constexpr std::string_view prefix = "Vantrel ";
    if (name.size() != prefix.size() + 8 || !name.starts_with(prefix)) {
        return false;
    }
    for (const char c : name.substr(prefix.size())) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> timerInstancesIn(const fs::path& unitFolder) {
    constexpr std::string_view prefix = "vantrel-backup@", suffix = ".timer.d";
    std::vector<std::string> instances;
    std::error_code ec;
    for (fs::directory_iterator it(unitFolder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = pathToUtf8(it->path().filename());
        std::error_code statEc;
        if (name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) &&
            name.ends_with(suffix) && fs::is_regular_file(it->path() / "vantrel.conf", statEc)) {
            instances.push_back(
                name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
        }
    }
    return instances;
}

RemovedEntries removeEveryJobEntry(SystemScheduler& scheduler) {
    RemovedEntries removed;
    for (const std::string& name : scheduler.jobEntries()) {
        try {
            if (scheduler.remove(name)) {
                ++removed.count;
            }
        } catch (const std::exception& e) {
            if (removed.firstError.empty()) {
                removed.firstError = e.what();
            }
        }
    }
    return removed;
}

}  // namespace vantrel
