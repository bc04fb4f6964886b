#include "engine/rules/Exclusions.h"

#include <gtest/gtest.h>

#include <tuple>

#include "engine/BackupError.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/BackupRun.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::writeBytes;

std::string generic(const fs::path& p) {
    const std::u8string s = p.generic_u8string();
    return {s.begin(), s.end()};
}

TEST(Exclusions, EachPatternFormMatchesWhatItSays) {
    // Case is ignored exactly where the file system ignores it.
    const bool foldsCase = pathCaseKey("a") != "a";
    const struct {
        const char* rules;
        const char* path;
        bool folder;
        bool excluded;
    } cases[] = {
        {"*.tmp", "a.tmp", false, true},
        {"*.tmp", "深/层/b.tmp", false, true},  // a name at any depth
        {"*.tmp", "a.tmp.txt", false, false},
        {"*.tmp", "dir.tmp/x.txt", false, false},  // "*" stays within a name
        {"?.log", "日.log", false, true},          // "?" is one character, not one byte
        {"?.log", "ab.log", false, false},
        {"~$*", "~$报告.docx", false, true},
        {"Thumbs.db", "照片/Thumbs.db", false, true},
        {"Thumbs.db", "照片/thumbs.DB", false, foldsCase},
        {"node_modules/", "web/node_modules", true, true},  // folders only
        {"node_modules/", "web/node_modules", false, false},
        {"项目/build/**", "项目/build", true, true},  // "**": any number of folders, none too
        {"项目/build/**", "项目/build/out/a.o", false, true},
        {"项目/build/**", "其他/项目/build", true, false},  // anchored at the source
        {"docs/old", "docs/old", true, true},
        {"docs/old", "sub/docs/old", true, false},
        {"/top.txt", "top.txt", false, true},
        {"/top.txt", "a/top.txt", false, false},
        {"a/**/z", "a/z", false, true},
        {"a/**/z", "a/b/c/z", false, true},
        {"a/**/z", "a/b/c/y", false, false},
        {"**/cache/", "x/y/cache", true, true},
        {" *.bak | cache/ ", "cache", true, true},  // blanks around a pattern do not count
        {"", "anything", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Exclusions(c.rules).excludes(c.path, c.folder), c.excluded)
            << c.rules << " on " << c.path;
    }
}

TEST(Exclusions, MalformedRulesAreRefusedByName) {
    const std::pair<const char*, const char*> cases[] = {
        {"*.tmp||cache/", "排除规则第 2 条是空的：“|”的两边都应有规则！"},
        {"*.tmp|", "排除规则第 2 条是空的：“|”的两边都应有规则！"},
        {"/", "排除规则“/”有误：只有“/”，不指明任何文件或文件夹！"},
        {"a**b", "排除规则“a**b”有误：“**”只能单独作为一层文件夹，如“项目/**/build”！"},
        {"docs/**.txt",
         "排除规则“docs/**.txt”有误：“**”只能单独作为一层文件夹，如“项目/**/build”！"},
        {"../x", "排除规则“../x”有误：不能含有“.”或“..”这样的文件夹！"},
        {"*.tmp|**", "排除规则“**”有误：会排除源文件夹中的所有文件！"},
        {"/*", "排除规则“/*”有误：会排除源文件夹中的所有文件！"},
    };
    for (const auto& [rules, message] : cases) {
        EXPECT_EQ(Exclusions::problem(rules).value_or("accepted"), message) << rules;
        EXPECT_THROW(Exclusions{rules}, BackupError);
    }
    EXPECT_FALSE(Exclusions::problem("*.tmp|node_modules/|项目/build/**"));
}

// A run with rules: what the copy lacks is exactly what the preview lists, the copy is
// complete, the count leaves the excluded files out, and the record keeps the rules.
TEST(Exclusions, TheCopyLacksExactlyWhatThePreviewLists) {
    test::TempDir dir;
    const fs::path source = dir / "数据";
    for (const char* file : {"keep.txt", "a.tmp", "web/node_modules/lib/x.js", "web/app.js",
                             "项目/build/out.o", "项目/src/main.c", "sub/项目/build/kept.o"}) {
        fs::create_directories((source / pathFromUtf8(file)).parent_path());
        writeBytes(source / pathFromUtf8(file), file);
    }
    const Exclusions rules("*.tmp|node_modules/|项目/build/**");
    test::FaultyFileOps files;
    const auto listed = listExcluded(files, source, rules);
    std::vector<std::string> paths;
    for (const ExcludedEntry& e : listed) {
        paths.push_back(e.path + (e.folder ? "/" : ""));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"a.tmp", "web/node_modules/", "项目/build/"}));
    EXPECT_EQ(excludedSummary(listed), "排除 3 项，共 48 B");

    test::FakeClock clock{test::at(2014, 5, 15, 10, 0, 0)};
    test::FakeUi ui;
    Workspace ws{dir / "work", files, clock, ui};
    fs::create_directories(ws.dir);
    TBackupSettings settings;
    settings.SourcePath = pathToUtf8(source);
    settings.TargetFolder = pathToUtf8(dir / "bak");
    settings.ExcludeRules = rules.text();
    const fs::path copy = dir / "bak" / pathFromUtf8("数据_20140515");
    TreeSize counted;
    ASSERT_TRUE(files.measureTree(source, counted, nullptr, rules.predicate()).ok());
    EXPECT_EQ(counted.files, 4u);
    const RunReport report = RunBackup(ws, settings, PruneAfterRun::No, {nullptr, &counted});
    ASSERT_TRUE(report.ran && !report.incomplete());
    EXPECT_EQ(report.copied.files, 4u);

    std::vector<std::string> lacking;
    files.walk(source, [&](const fs::path& p, const EntryStat&) {
        const fs::path relative = p.lexically_relative(source);
        if (!fs::exists(copy / relative) && fs::exists(copy / relative.parent_path())) {
            lacking.push_back(generic(relative) + (fs::is_directory(p) ? "/" : ""));
        }
    });
    std::sort(lacking.begin(), lacking.end());
    EXPECT_EQ(lacking, paths);
    EXPECT_EQ(BackupRecordStore(ws.databaseFile()).list().front().rules, rules.text());
}

// A folder that cannot be read has a size nobody knows: never shown as 0 B, nor its part read
// as the whole.
TEST(Exclusions, AnUnreadableExcludedFolderHasNoSizeOnlyALowerBound) {
    test::TempDir dir;
    const fs::path source = dir / "src";
    for (const char* file : {"cache/a.bin", "cache/sealed/b.bin", "locked/c.bin", "x.tmp"}) {
        fs::create_directories((source / file).parent_path());
        writeBytes(source / file, "12345");
    }
    test::FaultyFileOps files;
    files.unlistable = {source / "cache" / "sealed", source / "locked"};
    std::vector<std::string> lines;
    const auto listed = listExcluded(files, source, Exclusions("cache/|locked/|*.tmp"));
    for (const ExcludedEntry& e : listed) {
        lines.push_back(excludedLine(e));
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{"cache/\t至少 5 B", "locked/\t大小未知", "x.tmp\t5 B"}));
    EXPECT_EQ(excludedSummary(listed), "排除 3 项，共至少 10 B（2 项无法完整读取）");
}

// What a copy's own rules left out was not deleted, however the rules read now; a rule this
// version refuses hides nothing.
TEST(Exclusions, ACopysStoredRulesKeepWhatTheyLeftOutFromItsChanges) {
    const Exclusions stored = Exclusions::stored("node_modules/|*.tmp");
    for (const auto& [path, folder, out] : std::vector<std::tuple<std::string, bool, bool>>{
             {"web/node_modules", true, true},
             {"web/node_modules/lib/x.js", false, true},
             {"a.tmp", false, true},
             {"web/node_modules.txt", false, false},
             {"web/app.js", false, false}}) {
        EXPECT_EQ(stored.leavesOut(path, folder), out) << path;
    }
    EXPECT_TRUE(Exclusions::stored("a**b").empty());
}

}  // namespace
}  // namespace vantrel
