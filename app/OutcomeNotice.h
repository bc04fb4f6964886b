#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/JobView.h"
#include "engine/notice/Notice.h"
#include "engine/rules/JobHealth.h"
#include "engine/run/BackupJob.h"

namespace vantrel {

// What a run's outcome tells the user of the main window, and how: one balloon while the
// window is in the tray (success stays quiet there), the boxes while it is shown.
class OutcomeNotice {
public:
    explicit OutcomeNotice(std::filesystem::path jobDir) : m_jobDir(std::move(jobDir)) {}

    // The run's outcome, with the messages it gave on its way and the job's health after it.
    void tell(JobView& view, const RunResult& result, const std::vector<std::string>& messages,
              const JobHealth& health, bool inTray);

private:
    std::filesystem::path m_jobDir;
    std::string m_lastUnattendedFailure;  // the last failure of a run not started by hand
};

}  // namespace vantrel
