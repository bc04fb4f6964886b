#include "engine/notice/Alert.h"
#include "engine/TextRules.h"

#include <chrono>
#include <cstdio>

#include "engine/Texts.h"
#include "engine/notice/Hmac.h"
#include "engine/places/TargetMark.h"
#include "engine/rules/ChangeGuard.h"

namespace vantrel {

namespace {

std::string_view hostOf(std::string_view url) {
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    url.remove_prefix(scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    if (const auto at = url.rfind('@'); at != std::string_view::npos) {
        url.remove_prefix(at + 1);
    }
    return url.substr(0, url.find(':'));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The folders of the job, and what to do, under the headline.
std::string describe(const TBackupSettings& settings, const std::string& jobDir,
                     std::string_view what, std::string_view todo) {
    std::string text = "Vantrel 备份通知\n工作目录：" + jobDir + "\n备份源：" +
                       settings.SourcePath + "\n备份目的地：" + settings.TargetFolder + "\n" +
                       std::string(what);
    if (!todo.empty()) {
        text += "\n处理建议：" + std::string(todo);
    }
    return text;
}

// The value of a number field of a flat JSON answer ("errcode": 310000), if present.
std::optional<long long> numberField(std::string_view json, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\"";
    auto at = json.find(key);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    at = json.find_first_not_of(" \t\r\n:", at + key.size());
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    long long value = 0;
    bool negative = json[at] == '-';
    std::size_t i = at + (negative ? 1 : 0);
    const std::size_t first = i;
    for (; i < json.size() && json[i] >= '0' && json[i] <= '9'; ++i) {
        value = value * 10 + (json[i] - '0');
    }
    if (i == first) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// The text of a string field of a flat JSON answer, escapes left as they are.
std::string stringField(std::string_view json, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\"";
    auto at = json.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    at = json.find('"', at + key.size());
    if (at == std::string_view::npos) {
        return {};
    }
    std::string out;
    for (std::size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
            ++i;
        }
        out += json[i];
    }
    return out;
}

}  // namespace

AlertService alertServiceOf(std::string_view url) {
    const std::string_view host = hostOf(url);
    if (host == "qyapi.weixin.qq.com") {
        return AlertService::WeCom;
    }
    if (host == "oapi.dingtalk.com") {
        return AlertService::DingTalk;
    }
    if (host == "open.feishu.cn") {
        return AlertService::Feishu;
    }
    return AlertService::Plain;
}

std::optional<std::string> alertUrlProblem(std::string_view url) {
    if ((!startsWith(url, "http://") && !startsWith(url, "https://")) || hostOf(url).empty() ||
        url.find_first_of(" \t\r\n") != std::string_view::npos) {
        return "通知网址“" + std::string(url) + "”无效：应以 http:// 或 https:// 开头";
    }
    return std::nullopt;
}

std::optional<AlertFacts> alertFor(const RunResult& result, const RunNotice& notice,
                                   const TBackupSettings& settings, const std::string& jobDir) {
    if (settings.NotifyUrl.empty() || notice.repeatsLast) {
        return std::nullopt;
    }
    const RunRecord& record = result.record;
    AlertFacts facts;
    facts.job = jobDir;
    facts.when = record.ended;
    std::string what;
    std::string todo;
    switch (record.outcome) {
        case RunOutcome::Failed:
            if (record.message.find(kNotConnectedWord) != std::string::npos) {
                facts.outcome = "not_connected";
                what = "备份未执行：" + record.message;
                todo =
                    "连接备份磁盘（或网络位置）后，在窗口中手动执行备份或运行 vantrel-cli "
                    "backup。";
            } else {
                facts.outcome = "failed";
                what = "备份失败：" + record.message;
                todo = "查看工作目录中 Log 文件夹里的日志，排除原因后手动执行一次备份。";
            }
            break;
        case RunOutcome::Incomplete:
            facts.outcome = "incomplete";
            what = "备份不完整：" + record.message;
            todo =
                "关闭占用这些文件的程序或修正其权限后再备份一次；未能复制的项见窗口提示或 "
                "vantrel-cli backup 的输出。";
            break;
        case RunOutcome::Refused:
            // Another run of the job making the copy is no news.
            if (result.report.refusal && result.report.refusal->reason == RefusalReason::Busy) {
                return std::nullopt;
            }
            facts.outcome = "refused";
            what = "备份未执行：" + record.message;
            todo = "检查此任务的备份设置。";
            break;
        case RunOutcome::Success:
            if (result.report.massChange) {
                facts.outcome = "held";
                what = "备份已完成，但" + *result.report.massChange;
                todo = "核对这些变化；无误时在窗口中确认，或运行 vantrel-cli confirm-changes。";
            } else if (settings.NotifyAll) {
                facts.outcome = "success";
                what = "备份成功：" + record.targetPath;
            } else {
                return std::nullopt;
            }
            break;
        default:
            return std::nullopt;  // cancelled: the user knows
    }
    facts.text = describe(settings, jobDir, what, todo);
    return facts;
}

AlertFacts testAlert(const TBackupSettings& settings, const std::string& jobDir, LocalTime when) {
    return {jobDir, "test", describe(settings, jobDir, "这是一条测试通知，通知网址可用。", ""),
            when};
}

std::string jsonString(std::string_view text) {
    std::string out = escapedWith(
        text, {{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}});
    // The other control characters as \u00XX.
    std::string json = "\"";
    for (const char c : out) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

AlertPost composeAlert(const TBackupSettings& settings, const AlertFacts& facts,
                       std::int64_t epochMs) {
    AlertPost post{settings.NotifyUrl, {}};
    const std::string text = jsonString(facts.text);
    switch (alertServiceOf(settings.NotifyUrl)) {
        case AlertService::WeCom:
            post.body = R"({"msgtype":"text","text":{"content":)" + text + "}}";
            break;
        case AlertService::DingTalk:
            post.body = R"({"msgtype":"text","text":{"content":)" + text + "}}";
            if (!settings.NotifySecret.empty()) {
                const std::string stamp = std::to_string(epochMs);
                const auto mac =
                    hmacSha256(settings.NotifySecret, stamp + "\n" + settings.NotifySecret);
                post.url += (post.url.find('?') == std::string::npos ? "?" : "&");
                post.url +=
                    "timestamp=" + stamp + "&sign=" + urlEncode(base64(mac.data(), mac.size()));
            }
            break;
        case AlertService::Feishu:
            post.body = R"({"msg_type":"text","content":{"text":)" + text + "}}";
            break;
        case AlertService::Plain:
            post.body = "{\"job\":" + jsonString(facts.job) +
                        ",\"outcome\":" + jsonString(facts.outcome) + ",\"text\":" + text +
                        ",\"time\":" + jsonString(formatLocalTime(facts.when)) + "}";
            break;
    }
    return post;
}

std::optional<std::string> sendAlert(HttpClient& http, const AlertPost& post) {
    if (auto problem = alertUrlProblem(post.url)) {
        return "通知发送失败：" + *problem;
    }
    const HttpAnswer answer = http.postJson(post.url, post.body);
    switch (answer.failure) {
        case HttpAnswer::Failure::NoAnswer:
            return "通知发送失败：服务器没有应答（" + answer.error + "）";
        case HttpAnswer::Failure::Tls:
            return "通知发送失败：安全连接（TLS）失败（" + answer.error + "）";
        case HttpAnswer::Failure::None:
            break;
    }
    // The robots answer 200 with an error code of their own when they refuse a message.
    std::string error;
    if (const auto code = numberField(answer.body, "errcode"); code && *code != 0) {
        error = std::to_string(*code) + " " + stringField(answer.body, "errmsg");
    } else if (const auto feishu = numberField(answer.body, "code"); feishu && *feishu != 0) {
        error = std::to_string(*feishu) + " " + stringField(answer.body, "msg");
    }
    if (answer.status >= 200 && answer.status < 300 && error.empty()) {
        return std::nullopt;
    }
    std::string why = "通知发送失败：服务器回答 HTTP " + std::to_string(answer.status);
    if (!error.empty()) {
        why += "，错误：" + error;
    } else if (!answer.body.empty()) {
        why += "，" + answer.body.substr(0, 200);
    }
    return why;
}

}  // namespace vantrel
