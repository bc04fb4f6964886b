#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/notice/Notice.h"
#include "platform/Clock.h"
#include "platform/Http.h"

namespace vantrel {

// Where an alert goes decides its form: the work-chat group robots take their text message,
// any other address a small JSON object.
enum class AlertService { WeCom, DingTalk, Feishu, Plain };
AlertService alertServiceOf(std::string_view url);

// Why `url` cannot take alerts; none when it can (http:// or https://).
std::optional<std::string> alertUrlProblem(std::string_view url);

// What one alert says.
struct AlertFacts {
    std::string job;      // the working directory
    std::string outcome;  // "failed", "incomplete", "refused", "held", "not_connected",
                          // "success", "test"
    std::string text;     // the message, in Chinese, several lines
    LocalTime when{};
};

// What to say about a run, or none: failures, incomplete copies, refusals, pruning held by
// the guard and a backup disk not connected always; successes with 通知所有结果=1.
std::optional<AlertFacts> alertFor(const RunResult& result, const RunNotice& notice,
                                   const TBackupSettings& settings, const std::string& jobDir);

// The test message of `vantrel-cli notify-test`.
AlertFacts testAlert(const TBackupSettings& settings, const std::string& jobDir, LocalTime when);

// The address and body an alert is posted as; `epochMs` signs a 钉钉 robot's address when
// a signing secret is set.
struct AlertPost {
    std::string url;
    std::string body;
};
AlertPost composeAlert(const TBackupSettings& settings, const AlertFacts& facts,
                       std::int64_t epochMs);

// Posts the alert; returns why it did not arrive, or none when the server took it (2xx, and
// for a robot its own error code 0).
std::optional<std::string> sendAlert(HttpClient& http, const AlertPost& post);

// JSON string escaping, quotes included.
std::string jsonString(std::string_view text);

}  // namespace vantrel
