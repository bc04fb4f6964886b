#include "app/RestorePresenter.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <mutex>

#include "engine/Texts.h"
#include "engine/manifest/CopyChecks.h"
#include "engine/manifest/CopyListing.h"
#include "engine/run/BackupJob.h"
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

// A path below the source as the window shows it: "\" between names on Windows.
std::string shown(std::string_view path) {
    return pathToUtf8(pathFromUtf8(path).make_preferred());
}

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
        labels.clear();
        chosenEntries.clear();
        add(rows);
    }
    void showHits(std::string_view status, const std::vector<RestoreEntryRow>& rows,
                  bool fresh) override {
        folder = status;
        if (fresh) {
            entries.clear();
            labels.clear();
        }
        add(rows);
    }
    void add(const std::vector<RestoreEntryRow>& rows) {
        for (const RestoreEntryRow& row : rows) {
            entries.push_back((row.where.empty() ? "" : row.where + " ") + row.name +
                              (row.folder ? "/" : ""));
            labels.push_back(row.deleted);
            if (row.chosen) {
                chosenEntries.push_back(row.path);
            }
        }
    }
    void showFilter(std::string_view text) override { filter = text; }
    void showPinCommand(std::string_view caption, bool enabled) override {
        pinCaption = enabled ? caption : "";
    }
    void showVersions(const std::vector<RestoreVersionRow>& rows) override {
        versions.clear();
        for (const RestoreVersionRow& v : rows) {
            versions.push_back(v.date + " " + v.size + (v.same.empty() ? "" : " " + v.same));
        }
    }
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
    std::string folder, progress, summary, pinCaption, filter = "?";
    std::vector<std::string> entries, labels, chosenEntries, versions, details, messages;
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
    void searched() {
        presenter.waitForSearch();
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

    // The folder that lost a file, and nothing else; a folder gone is gone.
    fs::create_directories(source / "old");
    writeBytes(source / "old" / "x.txt", "x");
    runOn(3);
    fs::remove_all(source / "old");
    presenter.show();
    presenter.setShowDeleted(true);
    EXPECT_EQ(view.entries, std::vector<std::string>{"old/"});
    EXPECT_EQ(view.labels, std::vector<std::string>{"已删除"});
    presenter.chooseCopy(view.copies[1].id);  // the copy that still has gone.txt
    EXPECT_EQ(view.entries, std::vector<std::string>{"docs/"});
    EXPECT_EQ(view.labels, std::vector<std::string>{"含已删除的文件"});
    presenter.openFolder("docs");
    EXPECT_EQ(view.entries, std::vector<std::string>{"gone.txt"});
    EXPECT_EQ(view.labels, std::vector<std::string>{"已删除"});
    presenter.setShowDeleted(false);
    presenter.openFolder("..");
    EXPECT_EQ(view.folder, "");

    presenter.select({"notes.txt"});
    ASSERT_EQ(view.versions.size(), 3u);
    EXPECT_EQ(view.versions[0], "2026-12-03 2 B");
    EXPECT_EQ(view.versions[1], "2026-12-02 2 B 同上");
    EXPECT_EQ(view.versions[2], "2026-12-01 2 B");
    presenter.openBackupFolder();
    EXPECT_EQ(view.opened, dir / "bak" / "data_20261202");
}

// As the file manager hands a path over.
TEST_F(RestorePresenterTest, OpensAtAFileInItsFolderWithItsVersions) {
    presenter.show();
    presenter.openAt(pathToUtf8(source / "docs" / "gone.txt"));
    EXPECT_EQ(view.folder, "docs");
    EXPECT_EQ(view.chosenEntries, std::vector<std::string>{"docs/gone.txt"});
    EXPECT_EQ(view.versions.size(), 2u);

    presenter.openAt(pathToUtf8(source / "docs" / "new.txt"));  // in no copy: its folder
    EXPECT_EQ(view.folder, "docs");
    presenter.openAt("/elsewhere");
    EXPECT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[0], "没有哪一份备份含有“" + shown("docs/new.txt") + "”");
}

TEST_F(RestorePresenterTest, RestoresBesideTheWindowAndEndsWithASummary) {
    presenter.show();
    presenter.openFolder("docs");
    presenter.select({"docs/gone.txt"});
    presenter.restoreToOriginal();
    EXPECT_TRUE(view.restoring);
    finish();
    EXPECT_FALSE(view.restoring);
    EXPECT_EQ(view.summary, "恢复完毕：已恢复 1 个文件，0 个文件已相同，0 项未能恢复");
    EXPECT_EQ(readBytes(source / "docs" / "gone.txt"), "gone");

    // A file that differs stays; the one restored beside it is counted, and said to be.
    writeBytes(source / "notes.txt", "edited");
    presenter.select({"notes.txt", "docs"});
    presenter.restoreToOriginal();
    finish();
    EXPECT_EQ(view.summary,
              "恢复完毕：已恢复 1 个文件（其中 1 个以新名称保存），2 个文件已相同，0 项未能恢复");
    EXPECT_EQ(readBytes(source / pathFromUtf8("notes (恢复 20261202).txt")), "v2");

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

TEST_F(RestorePresenterTest, SearchesTheWholeCopyAndOpensWhatItFinds) {
    const fs::path reports = source / pathFromUtf8("报表");
    fs::create_directories(reports / "2024");
    writeBytes(reports / "2024" / pathFromUtf8("3月报表.txt"), "march");
    runOn(3);
    presenter.show();
    presenter.openFolder("docs");  // from anywhere, the whole copy
    presenter.setFilter("3月");
    searched();
    EXPECT_EQ(view.entries, std::vector<std::string>{shown("报表/2024") + " 3月报表.txt"});
    EXPECT_EQ(view.folder, "查找“3月”：找到 1 项");
    presenter.setFilter("报");
    searched();
    EXPECT_EQ(view.entries, (std::vector<std::string>{"（源文件夹） 报表/",
                                                      shown("报表/2024") + " 3月报表.txt"}));
    // A search overtaken by the next one shows nothing of its own.
    presenter.setFilter("o");
    presenter.setFilter("PLAN");
    searched();
    EXPECT_EQ(view.entries, std::vector<std::string>{"docs plan.txt"});

    // Finds are restored one by one, never the folder behind the list.
    presenter.restoreToOriginal();
    EXPECT_FALSE(view.restoring);
    EXPECT_EQ(view.messages, std::vector<std::string>{"请在查找到的项中选择要恢复的文件或文件夹"});

    // A find opens its folder with it chosen, and the search ends.
    presenter.openAt("报表/2024/3月报表.txt");
    EXPECT_EQ(view.folder, shown("报表/2024"));
    EXPECT_EQ(view.filter, "");
    EXPECT_EQ(view.chosenEntries, std::vector<std::string>{"报表/2024/3月报表.txt"});
    EXPECT_EQ(view.versions, std::vector<std::string>{"2026-12-03 5 B"});
    // A file only an older copy holds opens there.
    presenter.openAt(pathToUtf8(source / "docs" / "gone.txt"));
    EXPECT_EQ(view.chosen, view.copies[1].id);
    EXPECT_EQ(view.chosenEntries, std::vector<std::string>{"docs/gone.txt"});

    // With 显示已删除的文件, only finds the source no longer has.
    presenter.chooseCopy(view.copies[0].id);
    fs::remove_all(reports);
    presenter.setShowDeleted(true);
    presenter.setFilter("3月");
    searched();
    EXPECT_EQ(view.entries, std::vector<std::string>{shown("报表/2024") + " 3月报表.txt"});
    EXPECT_EQ(view.labels, std::vector<std::string>{"已删除"});
    presenter.setFilter("plan");
    searched();
    EXPECT_TRUE(view.entries.empty());
    EXPECT_EQ(view.folder, "查找“plan”：没有找到已删除的项");
    presenter.setFilter("");
    EXPECT_EQ(view.folder, "docs");

    // The copy taken away meanwhile: said so, not "nothing found".
    fs::remove_all(dir / "bak" / "data_20261203");
    presenter.setFilter("3月");
    searched();
    EXPECT_EQ(view.folder, "查找“3月”：所选的备份已不存在");
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
