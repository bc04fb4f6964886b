#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>

#include "engine/manifest/CopyEntries.h"
#include "engine/manifest/ManifestCheck.h"
#include "engine/manifest/ManifestCodec.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/places/SafePath.h"
#include "engine/places/SourcePath.h"
#include "engine/restore/FileVersions.h"
#include "engine/restore/Restore.h"
#include "engine/rules/ChangeGuard.h"
#include "engine/run/BackupRun.h"
#include "platform/Database.h"
#include "platform/FileStat.h"
#include "platform/RunLock.h"
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

RestoreRequest pathsOf(std::vector<std::string> paths) {
    RestoreRequest request;
    request.paths = std::move(paths);
    return request;
}

// Every entry below `root`, as paths below it.
std::vector<std::string> entriesBelow(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        found.push_back(pathToUtf8(e.path().lexically_relative(root)));
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The real placer, with a hook called as a file is about to be written.
class HookedPlacer final : public FilePlacer {
public:
    std::function<void(const fs::path& from, const fs::path& temp)> beforeWrite;

    FileOpResult writeFile(const fs::path& from, const fs::path& temp) override {
        beforeWrite(from, temp);
        return m_real.writeFile(from, temp);
    }
    FileOpResult writeLink(const fs::path& from, const fs::path& temp) override {
        return m_real.writeLink(from, temp);
    }
    FileOpResult place(const fs::path& temp, const fs::path& to, bool replace) override {
        return m_real.place(temp, to, replace);
    }
    FileOpResult makeFolder(const fs::path& folder, std::uint32_t permissions) override {
        return m_real.makeFolder(folder, permissions);
    }
    FileOpResult finishFolder(const fs::path& folder, const EntryStat& like) override {
        return m_real.finishFolder(folder, like);
    }
    FileOpResult removeFile(const fs::path& file) override { return m_real.removeFile(file); }

private:
    RealFilePlacer m_real;
};

// A job with daily copies of a small tree, and restores from them.
class RestoreTest : public ::testing::Test {
protected:
    RestoreTest() {
        fs::create_directories(work);
        fs::create_directories(source / "docs" / "old");
        fs::create_directories(bak);
        writeBytes(source / "report.docx", "first");
        writeBytes(source / "docs" / "a.txt", "alpha");
        writeBytes(source / "docs" / "old" / "b", "beta");
        settings.KeepCount = 5;
    }
    RunReport runOn(unsigned day) {
        clock.set(at(2026, 12, day, 10, 0, 0));
        return RunBackup(ws, settings, PruneAfterRun::IfKeepCountSet);
    }
    RestoreOutcome restore(RestoreRequest request) {
        return restoreFiles(ws, settings, request, placer);
    }
    std::string refusal(RestoreRequest request) {
        try {
            restore(std::move(request));
            return "not refused";
        } catch (const RequestRefused& e) {
            return e.what();
        }
    }
    fs::path copyOf(unsigned day) const { return bak / ("data_202612" + std::to_string(day)); }

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path bak = dir / "bak";
    fs::path source = dir / "data";
    test::FakeClock clock;
    test::FakeUi ui;
    RealFileOps files;
    RealFilePlacer placer;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings{pathToUtf8(source), pathToUtf8(bak), {}, {}, {}};
};

TEST_F(RestoreTest, ADeletedFileComesBackAsANewFileWithItsTimeAndMode) {
    settings.ShareUnchanged = true;
    fs::permissions(source / "docs" / "a.txt", fs::perms(0640));
    runOn(10);
    runOn(11);  // shares a.txt with the copy before
    const auto copied = statEntry(copyOf(11) / "docs" / "a.txt").value();
    ASSERT_EQ(copied.linkCount, 2u);
    fs::remove(source / "docs" / "a.txt");

    const RestoreOutcome out = restore(pathsOf({"docs/a.txt"}));
    EXPECT_EQ(out.restored, 1u);
    EXPECT_EQ(out.exitStatus(), 0);
    const fs::path back = source / "docs" / "a.txt";
    EXPECT_EQ(readBytes(back), "alpha");
    const auto st = statEntry(back).value();
    EXPECT_EQ(st.mtimeNs, copied.mtimeNs);
    EXPECT_EQ(st.permissions, 0640u);
    // Its own file: editing it can never change a backup.
    EXPECT_EQ(st.linkCount, 1u);
    EXPECT_NE(fileIdOf(back)->inode, fileIdOf(copyOf(11) / "docs" / "a.txt")->inode);
    writeBytes(back, "edited");
    EXPECT_EQ(readBytes(copyOf(11) / "docs" / "a.txt"), "alpha");
    for (const auto& e : fs::directory_iterator(source / "docs")) {
        EXPECT_FALSE(pathToUtf8(e.path().filename()).starts_with(".vantrel-")) << e.path();
    }
}

TEST_F(RestoreTest, ADifferentFileIsKeptAndTheRestoredOneLiesBesideUnlessOverwriting) {
    ASSERT_EQ(::mkfifo((source / "pipe").c_str(), 0600), 0);
    runOn(10);
    writeBytes(source / "report.docx", "changed since");
    writeBytes(source / "docs" / "old" / "b", "also changed");

    RestoreOutcome out = restore(pathsOf({"report.docx", "docs/old/b"}));
    EXPECT_EQ(readBytes(source / "report.docx"), "changed since");
    EXPECT_EQ(readBytes(source / "report (恢复 20261210).docx"), "first");
    EXPECT_EQ(readBytes(source / "docs" / "old" / "b (恢复 20261210)"), "beta");
    ASSERT_EQ(out.besides.size(), 2u);
    EXPECT_EQ(out.besides[0].restored, pathToUtf8(source / "report (恢复 20261210).docx"));

    // Again: what lies beside is the same now, so nothing more is written.
    out = restore(pathsOf({"report.docx"}));
    EXPECT_EQ(out.identical, 1u);
    EXPECT_FALSE(fs::exists(source / "report (恢复 20261210 2).docx"));

    RestoreRequest over = pathsOf({"report.docx"});
    over.overwrite = true;
    out = restore(over);
    EXPECT_EQ(out.restored, 1u);
    EXPECT_EQ(readBytes(source / "report.docx"), "first");
    // The whole source again: everything is there, the pipe too, so all is well.
    EXPECT_EQ(restore(pathsOf({"."})).exitStatus(), 0);
}

TEST_F(RestoreTest, ToAFolderRestoresTheTreeAndTouchesNothingElseThere) {
    runOn(10);
    const fs::path elsewhere = dir / "elsewhere";
    fs::create_directories(elsewhere / "docs");
    writeBytes(elsewhere / "docs" / "mine.txt", "mine");
    writeBytes(elsewhere / "docs" / "a.txt", "alpha");  // the same as the copy's

    RestoreRequest request = pathsOf({"docs"});
    request.to = pathToUtf8(elsewhere);
    const RestoreOutcome out = restore(request);
    EXPECT_EQ(out.restored, 1u);
    EXPECT_EQ(out.identical, 1u);
    EXPECT_EQ(readBytes(elsewhere / "docs" / "old" / "b"), "beta");
    EXPECT_EQ(readBytes(elsewhere / "docs" / "mine.txt"), "mine");
    EXPECT_FALSE(fs::exists(elsewhere / "report.docx"));

    // A whole-source restore into a folder not yet there makes it.
    request = pathsOf({"."});
    request.to = pathToUtf8(dir / "new" / "place");
    EXPECT_EQ(restore(request).restored, 3u);
    EXPECT_EQ(readBytes(dir / "new" / "place" / "report.docx"), "first");
    // Folders made come with the copy's time, and nothing of the work is left beside them.
    for (const char* folder : {"docs", "docs/old"}) {
        EXPECT_EQ(statEntry(dir / "new" / "place" / folder)->mtimeNs,
                  statEntry(copyOf(10) / folder)->mtimeNs)
            << folder;
    }
    for (const fs::path& parent : {dir / "new", elsewhere / "docs"}) {
        for (const auto& e : fs::directory_iterator(parent)) {
            EXPECT_FALSE(e.path().filename().string().starts_with(".vantrel-")) << e.path();
        }
    }
}

TEST_F(RestoreTest, NothingIsWrittenThroughALinkThatTookAFoldersPlace) {
    runOn(10);
    const fs::path outside = dir / "outside";
    fs::create_directories(outside);
    fs::remove_all(source / "docs");
    fs::create_directory_symlink(outside, source / "docs");

    const RestoreOutcome out = restore(pathsOf({"docs"}));
    EXPECT_EQ(out.exitStatus(), 0);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(readBytes(source / "docs (恢复 20261210)" / "a.txt"), "alpha");
    ASSERT_EQ(out.foldersBeside.size(), 1u);  // said, once
    EXPECT_EQ(out.foldersBeside[0].restored, pathToUtf8(source / "docs (恢复 20261210)"));
}

TEST_F(RestoreTest, RefusesPathsOutsideTheSourceAndDestinationsInTheBackups) {
    runOn(10);
    EXPECT_NE(refusal(pathsOf({"../work/config.ini"})).find("不在备份文件源地址"),
              std::string::npos);
    EXPECT_NE(refusal(pathsOf({"/etc/passwd"})).find("“/etc/passwd”"), std::string::npos);
    for (const fs::path& to : {bak / "restored", copyOf(10) / "docs"}) {
        RestoreRequest request = pathsOf({"docs"});
        request.to = pathToUtf8(to);
        EXPECT_NE(refusal(request).find(pathToUtf8(to)), std::string::npos) << to;
    }
    EXPECT_FALSE(fs::exists(bak / "restored"));
    // No copy holds it, or none of that date: nothing could be restored.
    RestoreRequest missing = pathsOf({"nowhere.txt"});
    EXPECT_EQ(restore(missing).exitStatus(), 1);
    missing = pathsOf({"report.docx"});
    missing.fromDate = "20261111";
    EXPECT_EQ(restore(missing).failed.at(0).reason, "没有日期为 20261111 的备份");
}

TEST_F(RestoreTest, VersionsAndChangesMatchWhatWasDoneBetweenRuns) {
    runOn(10);
    runOn(11);
    writeBytes(source / "report.docx", "second");
    fs::remove(source / "docs" / "old" / "b");
    writeBytes(source / "docs" / "c.txt", "new");
    runOn(12);

    const auto versions = versionsOf(ws, settings, pathToUtf8(source / "report.docx"));
    ASSERT_EQ(versions.size(), 3u);
    EXPECT_EQ(versions[0].date, "2026-12-12");
    EXPECT_EQ(versions[0].size, 6u);
    EXPECT_FALSE(versions[0].sameAsNewer);
    EXPECT_FALSE(versions[1].sameAsNewer);
    EXPECT_TRUE(versions[2].sameAsNewer);
    EXPECT_TRUE(versionsOf(ws, settings, "docs/c.txt").size() == 1);

    auto copies = jobCopies(ws);
    std::vector<std::string> lines;
    auto older = copies[1].stream();
    auto newer = copies[0].stream();
    const ChangeCounts counts = compareEntries(*older, *newer, [&](ChangeKind k, const auto& e) {
        lines.push_back(std::string(changeWord(k)) + " " + e.path);
    });
    EXPECT_EQ(lines,
              (std::vector<std::string>{"新增 docs/c.txt", "删除 docs/old/b", "修改 report.docx"}));
    EXPECT_EQ(counts.summary(), "新增 1 个，修改 1 个，删除 1 个");
    // The run counted the same.
    EXPECT_EQ(runOn(13).changes->summary(), "新增 0 个，修改 0 个，删除 0 个");
}

TEST_F(RestoreTest, AMassChangeHoldsPruningUntilConfirmed) {
    settings.KeepCount = 1;
    for (int i = 0; i < 100; ++i) {
        writeBytes(source / "docs" / ("f" + std::to_string(i)), "plain");
    }
    runOn(10);
    for (int i = 0; i < 80; ++i) {
        writeBytes(source / "docs" / ("f" + std::to_string(i)), "encrypted");
    }
    const RunReport held = runOn(11);
    ASSERT_TRUE(held.massChange);
    EXPECT_EQ(
        *held.massChange,
        "本次备份发现 80 个文件被修改或删除（占上一个备份的 77%），为防止误删或勒索软件造成损失，"
        "旧备份暂不清理，请确认这些变化。");
    EXPECT_TRUE(held.hasWarning());
    // Calm runs after it neither prune the good copy nor confirm on the user's behalf.
    runOn(12);
    EXPECT_TRUE(fs::exists(copyOf(10)));
    EXPECT_TRUE(activeHold(ws));

    EXPECT_EQ(ChangeGuard(ws.databaseFile()).confirm(clock.now()), 1u);
    runOn(13);
    EXPECT_FALSE(fs::exists(copyOf(10)));
    EXPECT_FALSE(fs::exists(copyOf(12)));
    EXPECT_FALSE(activeHold(ws));

    // Turned off, the same changes only count.
    settings.GuardMassChanges = false;
    for (int i = 0; i < 80; ++i) {
        writeBytes(source / "docs" / ("f" + std::to_string(i)), "again");
    }
    EXPECT_FALSE(runOn(14).massChange);
    EXPECT_FALSE(fs::exists(copyOf(13)));
}

TEST_F(RestoreTest, ADamagedFileWithTheCopysSizeAndTimeIsNotTheSame) {
    for (const bool hashed : {false, true}) {
        settings.ShareUnchanged = hashed;  // a sharing run keeps each file's hash
        writeBytes(source / "report.docx", "first");
        runOn(hashed ? 11 : 10);
        const fs::path file = source / "report.docx";
        const auto time = fs::last_write_time(file);
        writeBytes(file, "fir5t");
        fs::last_write_time(file, time);

        RestoreOutcome out = restore(pathsOf({"report.docx"}));
        EXPECT_EQ(out.identical, 0u) << hashed;
        ASSERT_EQ(out.besides.size(), 1u) << hashed;
        EXPECT_EQ(readBytes(pathFromUtf8(out.besides[0].restored)), "first");
        EXPECT_EQ(readBytes(file), "fir5t");
        fs::remove(pathFromUtf8(out.besides[0].restored));

        RestoreRequest over = pathsOf({"report.docx"});
        over.overwrite = true;
        out = restore(over);
        EXPECT_EQ(out.restored, 1u) << hashed;
        EXPECT_EQ(readBytes(file), "first");
    }
}

TEST_F(RestoreTest, RecordsThatLeadOutOfTheCopyAreReportedNotFollowed) {
    runOn(10);
    // Manifest rows naming a place outside the copy, and one reached through a link in it.
    writeBytes(bak / "secret", "outside");
    fs::create_directories(dir / "outside");
    writeBytes(dir / "outside" / "x", "outside");
    fs::create_directory_symlink(dir / "outside", copyOf(10) / "lnk");
    const auto id = jobCopies(ws).front().record().id;
    ManifestStore store(ws.databaseFile());
    Manifest manifest = store.load(id).value();
    const ManifestEntry file = *findEntry(manifest, "report.docx");
    for (const std::string& bad : {std::string("../secret"), std::string("docs/../../secret"),
                                   pathToUtf8(bak / "secret"), std::string("docs/./a.txt")}) {
        ManifestEntry e = file;
        e.path = bad;
        manifest.push_back(e);
    }
    ManifestEntry viaLink = file;
    viaLink.path = "lnk/x";
    manifest.push_back(viaLink);
    sortByPath(manifest);
    store.save(id, manifest);

    fs::remove_all(source);
    RestoreOutcome out = restore(pathsOf({"."}));
    EXPECT_EQ(out.restored, 3u);
    EXPECT_EQ(out.failed.size(), 5u);
    EXPECT_EQ(out.exitStatus(), 3);
    EXPECT_FALSE(fs::exists(dir / "secret"));
    EXPECT_FALSE(fs::exists(source / "lnk"));
    int outsideFiles = 0;  // what lies outside the copy was read nowhere
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
        outsideFiles += e.is_regular_file() && readBytes(e.path()) == "outside" ? 1 : 0;
    }
    EXPECT_EQ(outsideFiles, 2);

    // A record row whose place is no copy: a newer copy in the records, never read.
    runOn(11);
    fs::create_directories(dir / "evil_20261211");
    writeBytes(dir / "evil_20261211" / "report.docx", "evil");
    Database(ws.databaseFile(), Database::Mode::OpenExisting)
        .exec("UPDATE wenjianming SET wenjianming = '" + pathToUtf8(bak) +
              "/../evil_20261211' WHERE shijian LIKE '%12-11%'");
    fs::remove(source / "report.docx");
    out = restore(pathsOf({"report.docx"}));
    EXPECT_EQ(readBytes(source / "report.docx"), "first");
    ASSERT_EQ(out.failed.size(), 1u);
    EXPECT_NE(out.failed[0].path.find("evil_20261211"), std::string::npos);
    EXPECT_EQ(versionsOf(ws, settings, "report.docx").size(), 1u);
    RestoreRequest fromIt = pathsOf({"report.docx"});
    fromIt.fromDate = "20261211";
    EXPECT_NE(restore(fromIt).failed.at(0).reason.find("不是本任务的备份"), std::string::npos);
    EXPECT_NE(verifyCopy(ws, "20261211").refusal.find("不是本任务的备份"), std::string::npos);
}

TEST_F(RestoreTest, KeepingBothShortensALongNameAndSaysOnlyWhatItMade) {
    const std::string longFile = std::string(240, 'n') + ".txt";  // 244 bytes
    std::string wideFile;
    for (int i = 0; i < 80; ++i) {
        wideFile += "文";  // three bytes each: the cut must not split one
    }
    wideFile += ".txt";
    const std::string longFolder(250, 'f');
    writeBytes(source / longFile, "long");
    writeBytes(source / wideFile, "wide");
    fs::create_directories(source / longFolder);
    writeBytes(source / longFolder / "in", "inside");
    runOn(10);
    writeBytes(source / longFile, "changed");
    writeBytes(source / wideFile, "changed");
    fs::remove_all(source / longFolder);
    writeBytes(source / longFolder, "a file took its name");

    const RestoreOutcome out = restore(pathsOf({longFile, wideFile, longFolder}));
    EXPECT_TRUE(out.failed.empty()) << out.failed.at(0).reason;
    ASSERT_EQ(out.besides.size(), 2u);
    for (const KeptBeside& b : out.besides) {
        const std::string name = pathToUtf8(pathFromUtf8(b.restored).filename());
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(isValidUtf8(name));
        EXPECT_TRUE(name.ends_with(" (恢复 20261210).txt")) << name;
        EXPECT_NE(readBytes(pathFromUtf8(b.restored)), "changed");
    }
    ASSERT_EQ(out.foldersBeside.size(), 1u);
    EXPECT_EQ(readBytes(pathFromUtf8(out.foldersBeside[0].restored) / "in"), "inside");
    EXPECT_EQ(readBytes(source / longFolder), "a file took its name");
}

TEST_F(RestoreTest, FoldersMadeAboveTheTreeGetTheDefaultModeNotTheirParents) {
    fs::permissions(source / "docs", fs::perms(0750));
    runOn(10);
    const fs::path open = dir / "open";
    fs::create_directories(open);
    fs::permissions(open, fs::perms(01777));
    const mode_t mask = ::umask(0);
    ::umask(mask);

    RestoreRequest request = pathsOf({"docs"});
    request.to = pathToUtf8(open / "a" / "b");
    ASSERT_EQ(restore(request).exitStatus(), 0);
    for (const fs::path& above : {open / "a", open / "a" / "b"}) {
        EXPECT_EQ(statEntry(above)->permissions, 0755u & ~mask) << above;
    }
    EXPECT_EQ(statEntry(open / "a" / "b" / "docs")->permissions, 0750u);
}

TEST_F(RestoreTest, PipesComeBackAndWhatAKilledRestoreLeftIsNeverBackedUp) {
    ASSERT_EQ(::mkfifo((source / "docs" / "pipe").c_str(), 0640), 0);
    writeBytes(source / ".vantrel-0123456789abcdef.tmp", "half a restore");
    fs::create_directories(source / "docs" / ".vantrel-fedcba9876543210.tmp");
    writeBytes(source / "docs" / ".vantrel-fedcba9876543210.tmp" / "a.txt", "half");
    writeBytes(source / ".vantrel-notes.tmp", "the user's own");
    runOn(10);
    EXPECT_FALSE(fs::exists(copyOf(10) / ".vantrel-0123456789abcdef.tmp"));
    EXPECT_FALSE(fs::exists(copyOf(10) / "docs" / ".vantrel-fedcba9876543210.tmp"));
    EXPECT_TRUE(fs::exists(copyOf(10) / ".vantrel-notes.tmp"));

    fs::remove_all(source / "docs");
    const RestoreOutcome out = restore(pathsOf({"."}));
    EXPECT_EQ(out.exitStatus(), 0) << (out.failed.empty() ? "" : out.failed[0].reason);
    const auto pipe = statEntry(source / "docs" / "pipe");
    ASSERT_TRUE(pipe && pipe->type == EntryType::Special);
    EXPECT_EQ(pipe->permissions, 0640u);
    // An empty file in its place is no pipe: kept, and the pipe made beside it, never read.
    fs::remove(source / "docs" / "pipe");
    writeBytes(source / "docs" / "pipe", "");
    EXPECT_EQ(restore(pathsOf({"docs/pipe"})).besides.size(), 1u);
    EXPECT_EQ(restore(pathsOf({"docs/pipe"})).identical, 1u);  // the pipe beside is there now
}

TEST_F(RestoreTest, ACancelKeepsWhatWasPlacedAndLeavesNothingHalfWritten) {
    runOn(10);
    const fs::path elsewhere = dir / "elsewhere";
    std::atomic<bool> cancel{false};
    HookedPlacer hooked;
    hooked.beforeWrite = [&](const fs::path& from, const fs::path&) {
        cancel = cancel || from.filename() == "a.txt";  // the user stops as the folder comes
    };
    RestoreRequest request = pathsOf({"report.docx", "docs"});
    request.to = pathToUtf8(elsewhere);
    RestoreControl control;
    control.cancel = &cancel;
    const RestoreOutcome out = restoreFiles(ws, settings, request, hooked, control);
    EXPECT_TRUE(out.cancelled);
    EXPECT_EQ(out.summary(),
              "恢复已取消：已恢复 1 个文件，0 个文件已相同，0 个文件另存为新名称，0 项未能恢复");
    EXPECT_EQ(out.exitStatus(), 3);
    // The file placed before the stop stays; of the folder, not even an empty shell.
    EXPECT_EQ(entriesBelow(elsewhere), std::vector<std::string>{"report.docx"});
    EXPECT_EQ(readBytes(elsewhere / "report.docx"), "first");
}

TEST_F(RestoreTest, ARestoreAfterAKilledOneTakesUpWhatItLeft) {
    writeBytes(source / "docs" / "old" / "big", std::string(1 << 20, 'x'));
    runOn(10);
    fs::remove(source / "report.docx");
    fs::remove_all(source / "docs" / "old");

    // Killed while writing: one file half written, the other perhaps not begun.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        HookedPlacer dying;
        std::atomic<int> writes{0};
        dying.beforeWrite = [&](const fs::path&, const fs::path& temp) {
            if (++writes == 2) {
                writeBytes(temp, "half");
                ::raise(SIGKILL);
            }
        };
        restoreFiles(ws, settings, pathsOf({"."}), dying);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const auto leftovers = [&] {
        std::vector<std::string> temps;
        for (const std::string& e : entriesBelow(source)) {
            if (isRestoreTempName(pathToUtf8(pathFromUtf8(e).filename()))) {
                temps.push_back(e);
            }
        }
        return temps;
    };
    ASSERT_FALSE(leftovers().empty());

    const RestoreOutcome out = restore(pathsOf({"."}));
    EXPECT_EQ(out.exitStatus(), 0) << (out.failed.empty() ? "" : out.failed[0].reason);
    EXPECT_EQ(out.restored, 3u);
    EXPECT_TRUE(out.besides.empty() && out.foldersBeside.empty());
    EXPECT_EQ(readBytes(source / "report.docx"), "first");
    EXPECT_EQ(readBytes(source / "docs" / "old" / "b"), "beta");
    EXPECT_EQ(readBytes(source / "docs" / "old" / "big"), std::string(1 << 20, 'x'));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(RestoreTest, FilesHardLinkedInTheSourceComeBackLinked) {
    settings.ShareUnchanged = true;  // the copies share files too: that is no link between two
    fs::create_hard_link(source / "report.docx", source / "docs" / "same.docx");
    runOn(10);
    runOn(11);
    fs::remove(source / "report.docx");
    fs::remove_all(source / "docs");
    const RestoreOutcome out = restore(pathsOf({"."}));
    EXPECT_EQ(out.restored, 4u);
    EXPECT_EQ(fileIdOf(source / "report.docx")->inode,
              fileIdOf(source / "docs" / "same.docx")->inode);
    EXPECT_EQ(statEntry(source / "report.docx")->linkCount, 2u);
    EXPECT_EQ(statEntry(source / "docs" / "a.txt")->linkCount, 1u);
    EXPECT_EQ(readBytes(source / "docs" / "same.docx"), "first");
}

TEST_F(RestoreTest, ARestoreHoldsTheJobSoNoBackupPrunesTheCopyItReads) {
    settings.KeepCount = 1;
    runOn(10);
    fs::remove(source / "report.docx");
    {
        const auto backup = RunLock::tryAcquire(ws.lockFile());
        EXPECT_THROW(restore(pathsOf({"report.docx"})), BackupError);
    }
    bool triedBackup = false;
    RestoreControl control;
    control.progress = [&](const RestoreProgress&) {
        if (!triedBackup) {
            triedBackup = true;
            EXPECT_THROW(runOn(11), BackupBusy);
        }
    };
    const RestoreOutcome out = restoreFiles(ws, settings, pathsOf({"."}), placer, control);
    EXPECT_TRUE(triedBackup);
    EXPECT_EQ(out.exitStatus(), 0);
    EXPECT_TRUE(fs::exists(copyOf(10)));
    EXPECT_EQ(runOn(11).refusal, std::nullopt);  // and once it is over, backups run again
}

TEST(SafePathTest, OnlyNamesBelowTheFolderPass) {
    for (const char* good : {"a", "docs/a.txt", "..a/b..", "a/.hidden", "报告 (1).docx"}) {
        EXPECT_TRUE(isSafeRelativePath(good)) << good;
    }
    for (const char* bad : {"", "/etc/passwd", "..", "a/../../b", "./a", "a/.", "a//b", "a/"}) {
        EXPECT_FALSE(isSafeRelativePath(bad)) << bad;
    }
    EXPECT_FALSE(isSafeRelativePath(std::string_view("a\0b", 3)));
    EXPECT_TRUE(isSafeCopyPlace("/mnt/bak/data_20261210"));
    EXPECT_FALSE(isSafeCopyPlace("/mnt/bak/../home/data_20261210"));
    EXPECT_FALSE(isSafeCopyPlace("/home/me/data"));
    EXPECT_TRUE(isSafeCopyPlace("../../bak/data_20261210"));
    EXPECT_FALSE(isSafeCopyPlace("../bak/../home/data_20261210"));
    EXPECT_FALSE(isSafeCopyPlace("/../bak/data_20261210"));
}

TEST(BesideNameTest, TheSuffixGoesBeforeTheLastExtension) {
    const struct {
        std::string name, beside;
        int counter;
    } cases[] = {
        {"报告.docx", "报告 (恢复 20261201).docx", 1},
        {"README", "README (恢复 20261201)", 1},
        {".bashrc", ".bashrc (恢复 20261201)", 1},
        {"a.tar.gz", "a.tar (恢复 20261201 2).gz", 2},
        // Too long with the suffix: the stem gives way, or the name when the
        // extension is all of it.
        {std::string(250, 's') + ".gz", std::string(234, 's') + " (恢复 20261201).gz", 1},
        {"a." + std::string(250, 'e'), "a." + std::string(235, 'e') + " (恢复 20261201)", 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(besideName(c.name, "20261201", c.counter), c.beside);
    }
}

// Walking a copy on disk gives its entries in the order its manifest keeps them, which
// is not the order of a plain walk: "a" comes before "a.txt", whose name sorts before what
// "a" holds.
TEST(CopyEntriesTest, ATreeOnDiskStreamsInManifestOrder) {
    test::TempDir dir;
    for (const char* folder : {"a/b", "a-b", "a.d/x", "z"}) {
        fs::create_directories(dir / folder);
    }
    for (const char* file : {"a.txt", "a/b/c", "a/0", "a-b/y", "a.d/x/q", "a0"}) {
        writeBytes(dir / file, file);
    }
    fs::create_symlink("a.txt", dir.path() / "a/link");
    RealFileOps files;
    const Manifest manifest = manifestOfTree(files, dir.path());
    auto walked = streamOfTree(files, dir.path());
    auto recorded = streamOf(manifest);
    while (const ManifestEntry* e = recorded->next()) {
        const ManifestEntry* w = walked->next();
        ASSERT_TRUE(w) << e->path;
        EXPECT_EQ(w->path, e->path);
        EXPECT_TRUE(sameEntry(*w, *e)) << e->path;
    }
    EXPECT_FALSE(walked->next());
    // A subtree alone: the folder and what it holds, not its neighbours "a.txt" or "a-b";
    // the same from the manifest decoded and from its BLOB read entry by entry.
    const std::string blob = encodeManifest(manifest);
    const auto pathsBelow = [](std::unique_ptr<EntryStream> s) {
        std::vector<std::string> paths;
        while (const ManifestEntry* e = s->next()) {
            paths.push_back(e->path);
        }
        return paths;
    };
    EXPECT_EQ(pathsBelow(streamOf(manifest, "a")),
              (std::vector<std::string>{"a", "a/0", "a/b", "a/b/c", "a/link"}));
    for (const char* below : {"", "a", "a/b", "a.d", "a.txt", "absent"}) {
        EXPECT_EQ(pathsBelow(streamOfBlob(blob, below)), pathsBelow(streamOf(manifest, below)))
            << below;
    }
}

}  // namespace
}  // namespace vantrel
