#include "engine/notice/Alert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/notice/Hmac.h"
#include "engine/records/OperationLog.h"
#include "engine/run/BackupJob.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

std::string hex(const std::array<std::uint8_t, 32>& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const auto b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

TEST(Hmac, KnownVectors) {
    EXPECT_EQ(hex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first last block.
    EXPECT_EQ(hex(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(sha256(std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // RFC 4231 cases 2 and 6 (a key longer than a block).
    EXPECT_EQ(hex(hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hex(hmacSha256(std::string(131, '\xaa'),
                             "Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    const std::uint8_t bytes[] = {'f', 'o', 'o', 'b', 'a'};
    EXPECT_EQ(base64(bytes, 3), "Zm9v");
    EXPECT_EQ(base64(bytes, 4), "Zm9vYg==");
    EXPECT_EQ(base64(bytes, 5), "Zm9vYmE=");
    EXPECT_EQ(urlEncode("a+b/c=d 甲"), "a%2Bb%2Fc%3Dd%20%E7%94%B2");
}

// Records what would have been posted, and answers as told.
struct FakeHttp : HttpClient {
    HttpAnswer answer;
    std::vector<std::pair<std::string, std::string>> posts;
    HttpAnswer postJson(const std::string& url, std::string_view body) override {
        posts.emplace_back(url, std::string(body));
        return answer;
    }
};

TEST(Alert, EachRobotGetsItsOwnTextMessageAndDingTalkIsSigned) {
    TBackupSettings s;
    AlertFacts facts{"/job", "failed", "备份失败：\"盘\"\n满", {}};
    s.NotifyUrl = "https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k";
    EXPECT_EQ(composeAlert(s, facts, 0).body,
              R"({"msgtype":"text","text":{"content":"备份失败：\"盘\"\n满"}})");
    s.NotifyUrl = "https://open.feishu.cn/open-apis/bot/v2/hook/x";
    EXPECT_EQ(composeAlert(s, facts, 0).body,
              R"({"msg_type":"text","content":{"text":"备份失败：\"盘\"\n满"}})");
    s.NotifyUrl = "https://oapi.dingtalk.com/robot/send?access_token=t";
    s.NotifySecret = "SEC000";
    const AlertPost signed_ = composeAlert(s, facts, 1700000000000);
    const auto mac = hmacSha256("SEC000", "1700000000000\nSEC000");
    EXPECT_EQ(signed_.url, s.NotifyUrl + "&timestamp=1700000000000&sign=" +
                               urlEncode(base64(mac.data(), mac.size())));
    // A look-alike host is not the robot; it gets the plain object.
    s.NotifyUrl = "http://oapi.dingtalk.com.example.org/x";
    EXPECT_EQ(alertServiceOf(s.NotifyUrl), AlertService::Plain);
    EXPECT_EQ(composeAlert(s, facts, 0).body.rfind(R"({"job":"/job","outcome":"failed",)", 0), 0u);
    EXPECT_TRUE(alertUrlProblem("ftp://x"));
    EXPECT_TRUE(alertUrlProblem("https://"));
    EXPECT_FALSE(alertUrlProblem("http://127.0.0.1:8080/hook"));
}

TEST(Alert, FailuresAndHeldPruningAreToldSuccessesOnlyWhenAsked) {
    TBackupSettings s;
    s.SourcePath = "/src";
    s.TargetFolder = "/bak";
    s.NotifyUrl = "http://h/";
    RunResult result;
    result.record.outcome = RunOutcome::Success;
    EXPECT_FALSE(alertFor(result, {}, s, "/job"));
    s.NotifyAll = true;
    EXPECT_EQ(alertFor(result, {}, s, "/job")->outcome, "success");
    result.report.massChange = "改动过多";
    EXPECT_EQ(alertFor(result, {}, s, "/job")->outcome, "held");
    result.record.outcome = RunOutcome::Failed;
    result.record.message = "备份磁盘未连接：x";
    const auto facts = alertFor(result, {}, s, "/job");
    EXPECT_EQ(facts->outcome, "not_connected");
    for (const char* part : {"工作目录：/job", "备份源：/src", "备份目的地：/bak", "处理建议："}) {
        EXPECT_NE(facts->text.find(part), std::string::npos) << part;
    }
    RunNotice repeated;
    repeated.repeatsLast = true;
    EXPECT_FALSE(alertFor(result, repeated, s, "/job"));
    result.record.outcome = RunOutcome::Cancelled;
    EXPECT_FALSE(alertFor(result, {}, s, "/job"));
}

TEST(Alert, ARefusalInsideA200AndEveryNetworkFailureIsReported) {
    FakeHttp http;
    const AlertPost post{"http://h/", "{}"};
    http.answer.status = 204;
    EXPECT_FALSE(sendAlert(http, post));
    EXPECT_EQ(sendAlert(http, {"ftp://h/", "{}"}),
              "通知发送失败：通知网址“ftp://h/”无效：应以 http:// 或 https:// 开头");
    EXPECT_EQ(http.posts.size(), 1u);
    http.answer.status = 200;
    http.answer.body = R"({"errcode": 310000, "errmsg":"sign not match"})";
    EXPECT_EQ(sendAlert(http, post),
              "通知发送失败：服务器回答 HTTP 200，错误：310000 sign not match");
    http.answer.body = R"({"code":19021,"msg":"sign match fail"})";
    EXPECT_NE(sendAlert(http, post)->find("19021 sign match fail"), std::string::npos);
    http.answer = {HttpAnswer::Failure::Tls, "certificate has expired", 0, {}};
    EXPECT_NE(sendAlert(http, post)->find("TLS"), std::string::npos);
    http.answer = {HttpAnswer::Failure::NoAnswer, "Connection refused", 0, {}};
    EXPECT_NE(sendAlert(http, post)->find("没有应答"), std::string::npos);
}

// A job's runs: an unattended failure is posted once per kind, and a post that fails is
// logged each time but shown once.
TEST(Alert, AJobPostsARepeatedUnattendedFailureOnce) {
    test::TempDir dir;
    test::FaultyFileOps files;
    test::FakeClock clock{test::at(2014, 5, 15, 10)};
    test::FakeUi ui;
    Workspace ws{dir.path(), files, clock, ui};
    BackupJob job{ws};
    FakeHttp http;
    http.answer = {HttpAnswer::Failure::NoAnswer, "refused", 0, {}};
    job.setHttp(&http);
    TBackupSettings s{pathToUtf8(dir / "gone"), pathToUtf8(dir / "bak"), {10, 0, 0}, {}, 3};
    s.NotifyUrl = "http://h/";
    for (const RunTrigger trigger :
         {RunTrigger::CatchUp, RunTrigger::CatchUp, RunTrigger::Manual}) {
        EXPECT_EQ(job.execute(s, RunRequest::forTrigger(trigger)).record.outcome,
                  RunOutcome::Failed);
    }
    EXPECT_EQ(http.posts.size(), 2u);
    const auto failures = [](const std::vector<std::string>& lines) {
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("通知发送失败：服务器没有应答（refused）") != std::string::npos;
        });
    };
    EXPECT_EQ(failures(ui.messages), 1);
    EXPECT_EQ(failures(OperationLog(ws.logFile()).LoadLines()), 2);
}

}  // namespace
}  // namespace vantrel
