// Times the restore window's search of a whole copy by name, through its presenter, on a copy
// whose manifest holds many entries (1,000,000 by default): how soon the first finds are
// shown, how soon the search ends, and how much the process's peak memory grows meanwhile.
// The copy's folder is empty: the search reads the manifest only.
//
// Usage: restore_search_bench make DIR [--files N]   (once: the record database and manifest)
//        restore_search_bench search DIR TEXT...     (each TEXT searched in turn)

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/RestorePresenter.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/records/BackupRecordStore.h"
#include "platform/TextCodec.h"

namespace {

namespace fs = std::filesystem;
using namespace vantrel;
using Clock = std::chrono::steady_clock;

class QuietUi final : public BackupUi {
public:
    void setStatus(std::string_view) override {}
    void showMessage(std::string_view) override {}
};

// Peak resident memory of the process so far, in KiB.
long peakKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Processor time the process has used so far, user and system, in milliseconds: on a loaded
// machine the wall-clock times above it mean little.
double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A window without widgets: work posted to it runs on the bench's thread, one at a time.
class BenchView final : public RestoreView {
public:
    void showCopies(const std::vector<RestoreCopyRow>&, std::int64_t) override {}
    void showEntries(std::string_view, const std::vector<RestoreEntryRow>&) override {}
    void showHits(std::string_view status, const std::vector<RestoreEntryRow>& rows,
                  bool fresh) override {
        if (fresh) {
            found = 0;
        }
        found += rows.size();
        if (found > 0 && !firstAt) {
            firstAt = Clock::now();
        }
        last = status;
    }
    void showFilter(std::string_view) override {}
    void showPinCommand(std::string_view, bool) override {}
    void showVersions(const std::vector<RestoreVersionRow>&) override {}
    void showRestoring(bool) override {}
    void showProgress(const ProgressView&) override {}
    void showSummary(std::string_view, const std::vector<std::string>&) override {}
    void showMessage(std::string_view text) override {
        std::fprintf(stderr, "  (%.*s)\n", static_cast<int>(text.size()), text.data());
    }
    std::optional<std::string> pickFolder(std::string_view) override { return std::nullopt; }
    void openInFileManager(const fs::path&) override {}
    void post(std::function<void()> fn) override {
        {
            std::lock_guard lock(m_mutex);
            m_posted.push_back(std::move(fn));
        }
        m_ready.notify_one();
    }
    // Runs what was posted until the search's last status ("……" no longer in it).
    void runUntilDone() {
        while (last.find("……") != std::string::npos) {
            std::function<void()> fn;
            {
                std::unique_lock lock(m_mutex);
                m_ready.wait(lock, [this] { return !m_posted.empty(); });
                fn = std::move(m_posted.front());
                m_posted.pop_front();
            }
            fn();
        }
    }

    std::size_t found = 0;
    std::optional<Clock::time_point> firstAt;
    std::string last;

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_posted;
};

struct Job {
    fs::path work, source, target;
    TBackupSettings settings() const {
        return {pathToUtf8(source), pathToUtf8(target), {}, {}, {}};
    }
};

Job jobIn(const fs::path& dir) {
    return {dir / "work", dir / "src" / "data", dir / "bak"};
}

void make(const fs::path& dir, int files) {
    const Job job = jobIn(dir);
    fs::create_directories(job.work);
    fs::create_directories(job.source);
    const fs::path copy = job.target / "data_20261201";
    fs::create_directories(copy);
    const fs::path db = job.work / "wenjianming.mdb";
    BackupRecordStore::CreateIfMissing(db);
    const std::int64_t id = BackupRecordStore(db).Add(
        pathToUtf8(copy), std::chrono::year{2026} / 12 / 1, {}, {}, pathToUtf8(job.source));
    // Office documents in departments and projects: 100 files a folder.
    Manifest m;
    m.reserve(static_cast<std::size_t>(files) + static_cast<std::size_t>(files) / 50);
    m.push_back({"", 'd', 0, 0, {}, {}, {}});
    char path[128];
    for (int i = 0; i < files; ++i) {
        if (i % 100 == 0) {
            std::snprintf(path, sizeof path, "部门%03d/项目%04d", i / 100000, i / 100);
            if (i % 100000 == 0) {
                m.push_back(
                    {std::string(path, static_cast<std::size_t>(std::strchr(path, '/') - path)),
                     'd',
                     0,
                     0,
                     {},
                     {},
                     {}});
            }
            m.push_back({path, 'd', 0, 0, {}, {}, {}});
        }
        std::snprintf(path, sizeof path, "部门%03d/项目%04d/%d月报表%07d.xlsx", i / 100000, i / 100,
                      i % 12 + 1, i);
        char hash[33];
        std::snprintf(hash, sizeof hash, "%016llx%016llx", 0x9e3779b97f4a7c15ULL * (i + 1ULL),
                      0xc2b2ae3d27d4eb4fULL * (i + 7ULL));
        m.push_back({path,
                     'f',
                     10000u + static_cast<std::uint64_t>(i % 5000),
                     1764000000000000000LL + i,
                     hash,
                     {},
                     {}});
    }
    sortByPath(m);
    ManifestStore(db).save(id, m);
    std::printf("%zu entries in the manifest of %s\n", m.size(), pathToUtf8(copy).c_str());
}

void search(const fs::path& dir, const std::vector<std::string>& texts) {
    const Job job = jobIn(dir);
    RealFileOps files;
    SystemClock clock;
    QuietUi ui;
    Workspace ws{job.work, files, clock, ui};
    RealFilePlacer placer;
    BenchView view;
    RestorePresenter presenter(ws, job.settings(), view, placer);
    const double opening = cpuMs();
    presenter.show();
    const long before = peakKib();
    std::printf("window opened: %.0f ms of processor time, peak memory %ld MiB\n",
                cpuMs() - opening, before / 1024);
    for (const std::string& text : texts) {
        view.firstAt.reset();
        const double cpu = cpuMs();
        const auto start = Clock::now();
        presenter.setFilter(text);
        view.runUntilDone();
        const auto end = Clock::now();
        std::printf(
            "“%s”: first finds after %.0f ms, done after %.0f ms (%.0f ms of processor "
            "time), %zu shown, peak +%ld MiB\n  %s\n",
            text.c_str(), view.firstAt ? ms(*view.firstAt - start) : -1.0, ms(end - start),
            cpuMs() - cpu, view.found, (peakKib() - before) / 1024, view.last.c_str());
        presenter.setFilter("");
    }
    // Typing on: each letter stops the search before it.
    const auto start = Clock::now();
    presenter.setFilter("报");
    presenter.setFilter("报表");
    presenter.setFilter("报表0999999");
    view.runUntilDone();
    std::printf("three searches typed at once: the last done after %.0f ms, %zu shown\n",
                ms(Clock::now() - start), view.found);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() >= 2 && args[0] == "make") {
            int files = 1'000'000;
            if (args.size() == 4 && args[2] == "--files") {
                files = std::stoi(args[3]);
            }
            make(fs::absolute(args[1]), files);
            return 0;
        }
        if (args.size() >= 3 && args[0] == "search") {
            search(fs::absolute(args[1]), {args.begin() + 2, args.end()});
            return 0;
        }
        std::fprintf(stderr,
                     "usage: restore_search_bench make DIR [--files N]\n"
                     "       restore_search_bench search DIR TEXT...\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
