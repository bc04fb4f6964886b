#include "bench/RepeatBench.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/manifest/ManifestRecorder.h"
#include "engine/rules/Exclusions.h"
#include "engine/run/BackupJob.h"
#include "engine/run/BackupRun.h"
#include "engine/run/Workspace.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vantrel::bench {

namespace {

namespace fs = std::filesystem;

class QuietUi final : public BackupUi {
public:
    void setStatus(std::string_view) override {}
    void showMessage(std::string_view text) override {
        std::printf("  message: %.*s\n", static_cast<int>(text.size()), text.data());
    }
};

class DayClock final : public Clock {
public:
    LocalTime now() const override { return m_now; }
    void setDay(unsigned day) {
        m_now = std::chrono::local_days{std::chrono::year{2014} / 5 / day} + std::chrono::hours{10};
    }

private:
    LocalTime m_now{};
};

std::uint64_t usedBytes(const fs::path& on) {
    struct statvfs st;
    if (::statvfs(on.c_str(), &st) != 0) {
        throw std::runtime_error("statvfs failed on " + on.string());
    }
    return static_cast<std::uint64_t>(st.f_blocks - st.f_bfree) * st.f_frsize;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::uint64_t treeBytes(const fs::path& root) {
    std::uint64_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) {
            bytes += e.file_size();
        }
    }
    return bytes;
}

// What a file's data takes on disk.
std::uint64_t allocatedBytes(const fs::path& file) {
    struct stat st;
    return ::stat(file.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

struct Changed {
    std::uint64_t bytes = 0;
    std::uint64_t allocated = 0;  // the same files in whole blocks, as any copy of them takes
};

// Rewrites every twentieth file with new contents of its size and a new time.
Changed changeFivePercent(const fs::path& root, unsigned seed) {
    std::mt19937_64 rng(seed);
    Changed changed;
    std::size_t index = 0;
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        if (index++ % 20 != 0) {
            continue;
        }
        const auto size = fs::file_size(file);
        std::string data(size, '\0');
        for (char& c : data) {
            c = static_cast<char>(rng());
        }
        std::FILE* f = std::fopen(file.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
        fs::last_write_time(file, fs::file_time_type::clock::now() + std::chrono::seconds(index));
        changed.bytes += size;
        changed.allocated += allocatedBytes(file);
    }
    return changed;
}

struct Timed {
    double seconds;
    std::uint64_t added;  // bytes added to the target's used space
    std::uint64_t shared;
};

// One run as the window or the command line makes it: the count, the copy, the history.
RunReport runJob(Workspace& ws, const TBackupSettings& settings) {
    BackupJob job(ws);
    const RunResult result = job.execute(settings, RunRequest{});
    if (result.error) {
        std::rethrow_exception(result.error);
    }
    return result.report;
}

// A job with its working directory outside the measured file system (as the program's own
// folder is), its target in `work`. The first backup is made untimed; the second is timed.
Timed secondBackup(const fs::path& source, const fs::path& target, const fs::path& jobDir,
                   bool share, const std::function<void()>& between, const BenchSteps& steps,
                   bool& dropped) {
    RealFileOps files;
    files.removeTree(jobDir);
    files.removeTree(target);
    fs::create_directories(jobDir);
    fs::create_directories(target);
    DayClock clock;
    QuietUi ui;
    Workspace ws{jobDir, files, clock, ui};
    TBackupSettings settings;
    settings.SourcePath = pathToUtf8(source);
    settings.TargetFolder = pathToUtf8(target) + "/";
    settings.ShareUnchanged = share;
    clock.setDay(1);
    runJob(ws, settings);
    between();
    clock.setDay(2);
    dropped = steps.prepare(source);
    const std::uint64_t before = usedBytes(target);
    const auto start = std::chrono::steady_clock::now();
    const RunReport report = runJob(ws, settings);
    const auto end = std::chrono::steady_clock::now();
    const std::uint64_t after = usedBytes(target);
    files.removeTree(target);
    files.removeTree(jobDir);
    return {std::chrono::duration<double>(end - start).count(), after > before ? after - before : 0,
            report.shared};
}

double cpSecond(const fs::path& source, const fs::path& target, const BenchSteps& steps,
                const std::function<void()>& between, std::uint64_t& added) {
    RealFileOps files;
    files.removeTree(target);
    fs::create_directories(target);
    steps.timeCpSynced(source, target / "first");
    between();
    steps.prepare(source);
    const std::uint64_t before = usedBytes(target);
    const double t = steps.timeCpSynced(source, target / "second");
    added = usedBytes(target) - before;
    files.removeTree(target);
    return t;
}

// Makes each folder of `from` under `to` and links each of its other entries there, by
// folder descriptors, checking nothing.
void linkTree(int from, int to) {
    DIR* dir = ::fdopendir(::dup(from));
    if (dir == nullptr) {
        throw std::runtime_error("cannot list a folder to link");
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (e->d_type == DT_DIR) {
            ::mkdirat(to, name.c_str(), 0755);
            const int f = ::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const int t = ::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (f >= 0 && t >= 0) {
                linkTree(f, t);
            }
            ::close(f);
            ::close(t);
        } else if (::linkat(from, name.c_str(), to, name.c_str(), 0) != 0) {
            ::closedir(dir);
            throw std::runtime_error("link failed for " + name);
        }
    }
    ::closedir(dir);
}

// The least any copy that links every file can take here: the tree's folders made and its
// files linked from a previous copy on one thread, with no comparing, counting or record,
// then syncfs. Started like the others: source warm, the previous copy cold.
double linksAlone(const fs::path& source, const fs::path& target, const BenchSteps& steps) {
    RealFileOps files;
    files.removeTree(target);
    fs::create_directories(target);
    steps.timeCpSynced(source, target / "first");
    steps.prepare(source);
    const auto start = std::chrono::steady_clock::now();
    ::mkdir((target / "second").c_str(), 0755);
    const int from = ::open((target / "first").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int to = ::open((target / "second").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    linkTree(from, to);
    ::syncfs(to);
    const auto end = std::chrono::steady_clock::now();
    ::close(from);
    ::close(to);
    files.removeTree(target);
    return std::chrono::duration<double>(end - start).count();
}

}  // namespace

void benchRepeat(const fs::path& source, const fs::path& work, int rounds,
                 const BenchSteps& steps) {
    // The job's record database and log live apart from the target, as in use.
    const fs::path jobDir =
        fs::path("/dev/shm").append("vantrel-repeat-job-" + std::to_string(::getpid()));
    const fs::path target = work / "repeat-target";
    const std::uint64_t bytes = treeBytes(source);
    struct Scenario {
        const char* label;
        bool share;
        bool change;
    } scenarios[] = {{"unchanged, sharing on", true, false},
                     {"5 % changed, sharing on", true, true},
                     {"unchanged, sharing off", false, false}};
    // The tree changed in one round is changed again, differently, in the next; both sides
    // copy the same tree, so a round's change is made before each side's second copy.
    unsigned seed = 1;
    double unchangedCp = 0;
    for (const Scenario& s : scenarios) {
        std::vector<double> engine, cp;
        std::uint64_t engineAdded = 0, cpAdded = 0, shared = 0;
        Changed changed;
        bool dropped = false;
        for (int round = 0; round < rounds; ++round) {
            for (int side = 0; side < 2; ++side) {
                const bool engineTurn = (side == 0) == (round % 2 == 0);
                const unsigned roundSeed = seed++;
                const auto between = [&] {
                    if (s.change) {
                        changed = changeFivePercent(source, roundSeed);
                    }
                };
                if (engineTurn) {
                    const Timed r =
                        secondBackup(source, target, jobDir, s.share, between, steps, dropped);
                    engine.push_back(r.seconds);
                    engineAdded = r.added;
                    shared = r.shared;
                } else {
                    cp.push_back(cpSecond(source, target, steps, between, cpAdded));
                }
            }
            std::printf(
                "  round %d: engine %.3f s (added %.1f MiB, %llu shared), cp -a + sync "
                "%.3f s (added %.1f MiB)\n",
                round + 1, engine.back(), static_cast<double>(engineAdded) / (1 << 20),
                static_cast<unsigned long long>(shared), cp.back(),
                static_cast<double>(cpAdded) / (1 << 20));
            std::fflush(stdout);
        }
        const double e = median(engine), c = median(cp);
        if (s.share && !s.change) {
            unchangedCp = c;
        }
        std::printf(
            "  repeat %s median: engine %.3f s, cp -a + sync %.3f s, ratio %.3f; added "
            "%.2f %% of the tree's %.1f MiB",
            s.label, e, c, e / c,
            100.0 * static_cast<double>(engineAdded) / static_cast<double>(bytes),
            static_cast<double>(bytes) / (1 << 20));
        if (s.change) {
            std::printf(", %.2f x the %.1f MiB changed (%.2f x the %.1f MiB they take in blocks)",
                        static_cast<double>(engineAdded) / static_cast<double>(changed.bytes),
                        static_cast<double>(changed.bytes) / (1 << 20),
                        static_cast<double>(engineAdded) / static_cast<double>(changed.allocated),
                        static_cast<double>(changed.allocated) / (1 << 20));
        }
        std::printf("%s\n", dropped ? "" : " (page cache not dropped: no permission)");
        std::fflush(stdout);
    }
    std::vector<double> links;
    for (int round = 0; round < rounds; ++round) {
        links.push_back(linksAlone(source, target, steps));
    }
    const double l = median(links);
    std::printf(
        "  links alone (folders made, files linked, one thread, nothing checked) median: %.3f s, "
        "ratio %.3f to the unchanged cp -a + sync\n",
        l, l / unchangedCp);
    std::fflush(stdout);
}

namespace {

// The XXH3-128 of a file read through a shared mapping, as a copy just written leaves it in
// the page cache; 0 when it cannot be read.
std::uint64_t hashMapped(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    struct stat st;
    XXH128_hash_t h{};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        const auto size = static_cast<std::size_t>(st.st_size);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            ::madvise(map, size, MADV_SEQUENTIAL);
            h = XXH3_128bits(map, size);
            ::munmap(map, size);
        }
    }
    ::close(fd);
    return h.low64 ^ h.high64;
}

}  // namespace

void benchHashing(const fs::path& source, const fs::path& work, int rounds,
                  const BenchSteps& steps) {
    RealFileOps files;
    const fs::path dst = work / "hash-copy";
    // Three ways, their order turned each round: the copy alone; with the manifest's recorder
    // as it reads files (a read loop of the destination); with each destination file hashed
    // through a mapping right after it was written.
    const char* const kWays[] = {"copy + syncfs", "with read loop", "with mmap hash"};
    std::vector<double> times[3];
    bool dropped = false;
    std::atomic<std::uint64_t> sink{0};
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            const int way = (turn + round) % 3;
            files.removeTree(dst);
            dropped = steps.prepare(source);
            ManifestRecorder recorder(files);
            CopyOptions options;
            if (way == 1) {
                options.onEntry = [&recorder](const CopiedEntry& e) { recorder.add(e); };
            } else if (way == 2) {
                options.onEntry = [&sink](const CopiedEntry& e) {
                    if (e.type == EntryType::File && e.written != nullptr) {
                        sink += hashMapped(*e.written);
                    }
                };
            }
            const auto start = std::chrono::steady_clock::now();
            const auto r = files.copyTree(source, dst, options, {});
            files.syncFileSystem(dst);
            const auto end = std::chrono::steady_clock::now();
            if (!r.ok()) {
                throw std::runtime_error("copy failed: " + r.error.message());
            }
            if (way == 1 && recorder.hashed() == 0) {
                std::printf("  (no file was reported to the manifest: hashing not measured)\n");
            }
            times[way].push_back(std::chrono::duration<double>(end - start).count());
        }
        std::printf("  round %d: %s %.3f s, %s %.3f s, %s %.3f s\n", round + 1, kWays[0],
                    times[0].back(), kWays[1], times[1].back(), kWays[2], times[2].back());
        std::fflush(stdout);
    }
    files.removeTree(dst);
    const double p = median(times[0]), h = median(times[1]), m = median(times[2]);
    std::printf(
        "  hashing median: copy + syncfs %.3f s, with read loop %.3f s (cost %.1f %%), with mmap "
        "hash %.3f s (cost %.1f %%)%s\n",
        p, h, 100.0 * (h - p) / p, m, 100.0 * (m - p) / p,
        dropped ? "" : " (page cache not dropped: no permission)");
}

void benchExclusions(const fs::path& source, const fs::path& work, int rounds,
                     const BenchSteps& steps) {
    // The three presets of the window and three anchored rules, none matching the tree.
    const std::string rules =
        "*.tmp|*.temp|~$*|Thumbs.db|desktop.ini|node_modules/|__pycache__/|$RECYCLE.BIN/|"
        "项目/build/**|folder*/**/old/*.bak";
    const fs::path jobDir =
        fs::path("/dev/shm").append("vantrel-exclude-job-" + std::to_string(::getpid()));
    const fs::path target = work / "exclude-target";
    RealFileOps files;
    const auto oneRun = [&](bool withRules) {
        files.removeTree(jobDir);
        files.removeTree(target);
        fs::create_directories(jobDir);
        fs::create_directories(target);
        DayClock clock;
        clock.setDay(1);
        QuietUi ui;
        Workspace ws{jobDir, files, clock, ui};
        TBackupSettings settings;
        settings.SourcePath = pathToUtf8(source);
        settings.TargetFolder = pathToUtf8(target) + "/";
        settings.ExcludeRules = withRules ? rules : "";
        steps.prepare(source);
        const auto start = std::chrono::steady_clock::now();
        const RunReport report = runJob(ws, settings);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (report.incomplete() || report.copied.files == 0) {
            throw std::runtime_error("the excluded-rules run did not copy the tree");
        }
        files.removeTree(target);
        files.removeTree(jobDir);
        return seconds;
    };
    std::vector<double> plain, ruled;
    for (int round = 0; round < rounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            const bool withRules = (side == 0) == (round % 2 == 0);
            (withRules ? ruled : plain).push_back(oneRun(withRules));
        }
        std::printf("  round %d: backup without rules %.3f s, with ten rules %.3f s\n", round + 1,
                    plain.back(), ruled.back());
        std::fflush(stdout);
    }
    // The matching alone: every entry of the tree asked once, as the copier asks it.
    std::vector<std::pair<fs::path, bool>> entries;
    for (const auto& e : fs::recursive_directory_iterator(source)) {
        entries.emplace_back(e.path().lexically_relative(source), e.is_directory());
    }
    const ExcludeFn exclude = Exclusions(rules).predicate();
    std::size_t hits = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < 10; ++pass) {
        for (const auto& [relative, folder] : entries) {
            hits += exclude(relative, folder) ? 1 : 0;
        }
    }
    const double asked =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 10;
    const double p = median(plain), r = median(ruled);
    std::printf(
        "  exclusions median: backup without rules %.3f s, with ten rules %.3f s, ratio %.3f; "
        "the rules asked alone for the %zu entries: %.1f ms (%.2f %% of the run)%s\n",
        p, r, r / p, entries.size(), asked * 1000, 100 * asked / p,
        hits == 0 ? "" : " (some matched!)");
}

}  // namespace vantrel::bench
