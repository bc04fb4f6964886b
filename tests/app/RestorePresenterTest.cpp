#include "app/RestorePresenter.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <mutex>

#include "engine/BackupJob.h"
#include "engine/CopyChecks.h"
#include "engine/CopyListing.h"
#include "engine/Texts.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::readBytes;
using test::writeBytes;

// A restore window without widgets: records what it was told to draw; work posted from the
// restore's thread waits until the test delivers it.
class FakeRestoreView final : public RestoreView {
public:
    void showCopies(const std::vector<RestoreCopyRow>& rows, std::int64_t chosenId) override {
        copies = rows;
        chosen = chosenId;
    }
    void showEntries(std::string_view f, const std::vector<RestoreEntryRow>& rows) override {
        folder = f;
        entries.clear();
        for (const RestoreEntryRow& row : rows) {
            entries.push_back(row.name + (row.folder ? "/" : ""));
        }
    }
    void showPinCommand(std::string_view caption, bool enabled) override {
        pinCaption = enabled ? caption : "";
    }
    void showVersions(const std::vector<std::string>& lines) override { versions = lines; }
    void showChosenEntry(std::string_view path) override { chosenEntry = path; }
    void showRestoring(bool on) override { restoring = on; }
    void showProgress(const ProgressView& p) override { progress = p.status; }
    void showSummary(std::string_view text, const std::vector<std::string>& d) override {
        summary = text;
        details = d;
    }
    void showMessage(std::string_view text) override { messages.emplace_back(text); }
    std::optional<std::string> pickFolder(std::string_view) override { return picked; }
    void openInFileManager(const fs::path& folder) override { opened = folder; }
    void post(std::function<void()> fn) override {
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(fn));
    }
    void deliver() {
        std::deque<std::function<void()>> posted;
        {
            std::lock_guard lock(m_mutex);
            posted.swap(m_posted);
        }
        for (auto& fn : posted) {
            fn();
        }
    }

    std::vector<RestoreCopyRow> copies;
    std::int64_t chosen = 0;
    std::string folder, progress, summary, pinCaption, chosenEntry;
    std::vector<std::string> entries, versions, details, messages;
    bool restoring = false;
    std::optional<std::string> picked;
    fs::path opened;

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_posted;
};

class RestorePresenterTest : public ::testing::Test {
protected:
    RestorePresenterTest() {
        fs::create_directories(work);
        fs::create_directories(source / "docs");
        writeBytes(source / "notes.txt", "v1");
        writeBytes(source / "docs" / "plan.txt", "plan");
        writeBytes(source / "docs" / "gone.txt", "gone");
        runOn(1);
        writeBytes(source / "notes.txt", "v2");
        runOn(2);
        fs::remove(source / "docs" / "gone.txt");
    }
    void runOn(unsigned day) {
        clock.set(at(2026, 12, day, 10, 0, 0));
        BackupJob(ws).execute(settings, RunRequest::forTrigger(RunTrigger::Manual));
    }
    void finish() {
        presenter.waitForRestore();
        view.deliver();
    }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path source = dir / "data";
    test::FakeClock clock;
    test::FakeUi ui;
    RealFileOps files;
    RealFilePlacer placer;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings{pathToUtf8(source), pathToUtf8(dir / "bak"), {}, {}, {}};
    FakeRestoreView view;
    RestorePresenter presenter{ws, settings, view, placer};
};

TEST_F(RestorePresenterTest, BrowsesTheNewestCopyFiltersAndShowsWhatTheSourceLost) {
    presenter.show();
    ASSERT_EQ(view.copies.size(), 2u);
    EXPECT_EQ(view.copies[0].date, "2026-12-02");
    EXPECT_EQ(view.copies[0].state, "完整");
    EXPECT_EQ(view.copies[0].files, "3");
    EXPECT_EQ(view.copies[0].verified, "未核对");
    EXPECT_EQ(view.chosen, view.copies[0].id);
    // Found intact without hashes to compare: the window does not claim the contents were.
    recordCheck(ws.databaseFile(), view.copies[0].id, clock.now(), true, false);
    presenter.show();
    EXPECT_EQ(view.copies[0].verified,
              "完好（" + formatLocalTime(clock.now()).substr(0, 10) + " 核对，未核对内容）");
    EXPECT_EQ(view.entries, (std::vector<std::string>{"docs/", "notes.txt"}));

    presenter.setShowDeleted(true);  // the folder that lost a file, and nothing else
    EXPECT_EQ(view.entries, std::vector<std::string>{"docs/"});
    presenter.openFolder("docs");
    EXPECT_EQ(view.entries, std::vector<std::string>{"gone.txt"});
    presenter.setShowDeleted(false);
    presenter.setFilter("PLAN");
    EXPECT_EQ(view.entries, std::vector<std::string>{"plan.txt"});
    presenter.openFolder("..");
    presenter.setFilter("");
    EXPECT_EQ(view.folder, "");

    presenter.select({"notes.txt"});
    ASSERT_EQ(view.versions.size(), 2u);
    EXPECT_EQ(view.versions[0].substr(0, 13), "2026-12-02\t2\t");
    presenter.openBackupFolder();
    EXPECT_EQ(view.opened, dir / "bak" / "data_20261202");
}

// As the file manager hands a path over.
TEST_F(RestorePresenterTest, OpensAtAFileInItsFolderWithItsVersions) {
    presenter.show();
    presenter.openAt(pathToUtf8(source / "docs" / "gone.txt"));
    EXPECT_EQ(view.folder, "docs");
    EXPECT_EQ(view.chosenEntry, "docs/gone.txt");
    EXPECT_EQ(view.versions.size(), 2u);

    presenter.openAt(pathToUtf8(source / "docs" / "new.txt"));  // in no copy: its folder
    EXPECT_EQ(view.folder, "docs");
    EXPECT_TRUE(view.versions.empty());
    presenter.openAt("/elsewhere");
    EXPECT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[0], "没有备份包含“" + pathToUtf8(source / "docs" / "new.txt") + "”");
}

TEST_F(RestorePresenterTest, RestoresBesideTheWindowAndEndsWithASummary) {
    presenter.show();
    presenter.openFolder("docs");
    presenter.select({"docs/gone.txt"});
    presenter.restoreToOriginal();
    EXPECT_TRUE(view.restoring);
    finish();
    EXPECT_FALSE(view.restoring);
    EXPECT_EQ(view.summary,
              "恢复完毕：已恢复 1 个文件，0 个文件已相同，0 个文件另存为新名称，0 项未能恢复");
    EXPECT_EQ(readBytes(source / "docs" / "gone.txt"), "gone");

    // From the older copy, to a folder picked: the whole copy, paths kept.
    presenter.chooseCopy(view.copies[1].id);
    presenter.openFolder("..");
    view.picked = pathToUtf8(dir / "elsewhere");
    presenter.restoreTo();
    finish();
    EXPECT_EQ(readBytes(dir / "elsewhere" / "notes.txt"), "v1");
    EXPECT_EQ(readBytes(dir / "elsewhere" / "docs" / "plan.txt"), "plan");

    // Into the target folder: refused, with the reason, and nothing written.
    view.picked = pathToUtf8(dir / "bak" / "x");
    presenter.restoreTo();
    finish();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_NE(view.messages[0].find("不能恢复到这里"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "bak" / "x"));
}

TEST_F(RestorePresenterTest, KeepsTheChosenCopyForGoodAndTakesTheMarkAwayAgain) {
    presenter.show();
    presenter.chooseCopy(view.copies[1].id);  // the older copy, in a folder of its own
    presenter.openFolder("docs");
    EXPECT_EQ(view.pinCaption, "永久保留");

    presenter.togglePin();
    const std::int64_t older = view.copies[1].id;
    EXPECT_EQ(view.chosen, older);
    EXPECT_TRUE(view.copies[1].pinned);
    EXPECT_FALSE(view.copies[0].pinned);
    EXPECT_EQ(view.pinCaption, "取消永久保留");
    EXPECT_EQ(view.folder, "docs");
    // The mark is the one pruning and vantrel-cli list read.
    for (const ListedCopy& copy : listCopies(ws)) {
        EXPECT_EQ(copy.record.pinned, copy.record.id == older) << copy.record.date;
    }

    presenter.togglePin();
    EXPECT_FALSE(view.copies[1].pinned);
    EXPECT_EQ(view.pinCaption, "永久保留");
    EXPECT_FALSE(listCopies(ws)[1].record.pinned);
    EXPECT_TRUE(view.messages.empty());
}

}  // namespace
}  // namespace vantrel
