#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/run/BackupJob.h"

namespace vantrel {

// How loudly an outcome is told. Quiet: a success with nothing to look at.
enum class NoticeLevel { Quiet, Information, Warning, Critical };

// An entry a run could not copy, and why.
struct NoticeEntry {
    std::string path;  // UTF-8
    std::string reason;
};

// What a run's outcome means to the user, made once from its result; the tray, the message
// boxes, the command line and the alerts only show it.
struct RunNotice {
    NoticeLevel level = NoticeLevel::Quiet;
    std::string title;  // "Vantrel：<working directory>"
    // The one line that tells the outcome (a balloon, an alert's headline); empty when quiet.
    std::string text;
    // The messages the run showed, each a box of its own when the window is shown.
    std::vector<std::string> messages;
    std::vector<NoticeEntry> entries;  // entries not copied
    // The failure's text, as a box says it: an unattended run names itself and its job.
    std::optional<std::string> failure;
    // A run nobody started by hand that failed as the one before it did: says nothing new.
    bool repeatsLast = false;

    // "以下 N 项未能复制：" above the entries.
    std::string entriesHeading() const;
};

// What a run's notice needs beyond its result.
struct NoticeContext {
    std::string jobDir;                  // the working directory, UTF-8
    std::vector<std::string> messages;   // what the run showed
    std::optional<std::string> overdue;  // why the job is overdue, when it is
    // The kind of the last unattended failure: read to tell a repeat, then updated.
    std::string* lastUnattendedFailure = nullptr;
};

RunNotice makeNotice(const RunResult& result, const NoticeContext& context);

// Whether a run was started by the timetable or its catch-up, not by hand.
bool unattended(RunTrigger trigger);

}  // namespace vantrel
