// Times RealFileOps::copyTree against `cp -a` on a tree of many small files and on a tree of
// a few large files, both made durable: the engine's copy followed by syncFileSystem of the
// target, cp's followed by `sync`. Each timed copy starts alike: sync, page cache dropped
// where allowed, source read once. Prints each round, the medians and the ratio engine/cp;
// then, once per tree, the engine with an fsync per file instead of one syncfs, and for the
// small tree the time measureTree takes on a cold cache as a share of the copy. With --cli,
// a whole first `vantrel-cli backup` of each tree (a new job: count, database, copy, flush,
// record, history), the process timed from start to exit, against `cp -a` + `sync` as well;
// --cli given twice (an earlier build, say) times both in the same rounds.
//
// Usage: copy_bench [--rounds N] [--small-files N] [--folders N] [--big-files N] [--big-mib N]
//                   [--plain 0|1] [--repeat 0|1] [--exclusions 0|1] [--hashing 0|1]
//                   [--big-folders N] [--cli PATH] [--dir PATH]...
// Each --dir is measured in turn: the machine's own disk and a loop-mounted image, say.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchOptions.h"
#include "bench/RepeatBench.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vantrel::RealFileOps;

struct Options {
    int rounds = 5;
    int smallFiles = 20000;
    int folders = 200;
    int bigFiles = 4;
    int bigMib = 256;
    // Folders the big files are spread over: with more than one, both threads of a copy
    // write a big file at once.
    int bigFolders = 1;
    bool plain = true;       // the plain copies against cp -a
    bool repeat = true;      // the repeat scenarios and the hashing cost, after the plain copies
    bool exclusions = true;  // a backup of the small tree with ten rules against none
    bool hashing = true;     // the copy alone against the copy hashing what it wrote, both trees
    // Where the trees are made and copied; each --dir adds one, measured in turn (the
    // machine's own disk and a loop-mounted image, say).
    std::vector<fs::path> dirs;
    // Each vantrel-cli whose whole backup run is timed against cp -a + sync.
    std::vector<fs::path> clis;
};

Options parse(int argc, char** argv) {
    using vantrel::bench::countAtLeast;
    Options o;
    const auto flag = [](bool& to) { return [&to](const char* v) { to = std::atoi(v) != 0; }; };
    vantrel::bench::parseOptions(
        argc, argv,
        {{"--rounds", [&o](const char* v) { o.rounds = countAtLeast(1, v); }},
         {"--small-files", [&o](const char* v) { o.smallFiles = std::atoi(v); }},
         {"--folders", [&o](const char* v) { o.folders = countAtLeast(1, v); }},
         {"--big-files", [&o](const char* v) { o.bigFiles = std::atoi(v); }},
         {"--big-folders", [&o](const char* v) { o.bigFolders = countAtLeast(1, v); }},
         {"--big-mib", [&o](const char* v) { o.bigMib = std::atoi(v); }},
         {"--plain", flag(o.plain)},
         {"--repeat", flag(o.repeat)},
         {"--exclusions", flag(o.exclusions)},
         {"--hashing", flag(o.hashing)},
         {"--cli",
          [&o](const char* v) { o.clis.push_back(fs::absolute(vantrel::pathFromUtf8(v))); }},
         {"--dir", [&o](const char* v) { o.dirs.push_back(vantrel::pathFromUtf8(v)); }}});
    return o;
}

void writeFile(const fs::path& file, const std::vector<char>& data, size_t size) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + file.string());
    }
    for (size_t done = 0; done < size;) {
        const size_t n = std::min(data.size(), size - done);
        const ssize_t w = ::write(fd, data.data(), n);
        if (w <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + file.string());
        }
        done += static_cast<size_t>(w);
    }
    ::close(fd);
}

std::uint64_t buildSmallTree(const fs::path& root, const Options& o) {
    std::mt19937_64 rng(20140515);
    std::vector<char> data(16384);
    for (char& c : data) {
        c = static_cast<char>(rng());
    }
    std::uniform_int_distribution<size_t> size(1024, 16384);
    std::uint64_t bytes = 0;
    for (int f = 0; f < o.folders; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "folder%03d", f);
        fs::create_directories(root / name);
    }
    for (int i = 0; i < o.smallFiles; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "folder%03d/file%05d.dat", i % o.folders, i);
        const size_t n = size(rng);
        // Rotate the block so files differ.
        std::rotate(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(rng() % 4096),
                    data.end());
        writeFile(root / name, data, n);
        bytes += n;
    }
    return bytes;
}

std::uint64_t buildBigTree(const fs::path& root, const Options& o) {
    fs::create_directories(root);
    std::mt19937_64 rng(42);
    std::vector<char> data(size_t{8} << 20);
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(data.data() + i, &v, 8);
    }
    const size_t size = static_cast<size_t>(o.bigMib) << 20;
    for (int i = 0; i < o.bigFiles; ++i) {
        fs::path folder = root;
        if (o.bigFolders > 1) {
            folder /= "folder" + std::to_string(i % o.bigFolders);
            fs::create_directories(folder);
        }
        writeFile(folder / ("big" + std::to_string(i) + ".bin"), data, size);
    }
    return std::uint64_t{size} * static_cast<std::uint64_t>(o.bigFiles);
}

// Reads every file under `root` once so both copiers start from a warm source.
void readAll(const fs::path& root) {
    std::vector<char> buf(size_t{1} << 20);
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) {
            continue;
        }
        const int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
    }
}

bool dropCaches() {
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, "3", 1) == 1;
    ::close(fd);
    return ok;
}

void prepare(const fs::path& source, bool& dropped) {
    ::sync();
    dropped = dropCaches();
    readAll(source);
}

void check(const vantrel::FileOpResult& r, const char* what) {
    if (!r.ok()) {
        throw std::runtime_error(std::string(what) + " failed at " + r.failedPath.string() + ": " +
                                 r.error.message());
    }
}

// The engine's copy made durable: one syncfs of the target, or an fsync of each file and
// folder as it is placed.
double timeEngine(const fs::path& from, const fs::path& to, bool fsyncEach = false) {
    RealFileOps ops;
    std::uint64_t reports = 0;
    vantrel::CopyOptions options;
    if (fsyncEach) {
        options.onEntry = [](const vantrel::CopiedEntry& e) {
            const int fd = ::open(e.written->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd >= 0) {
                ::fsync(fd);
                ::close(fd);
            }
        };
    }
    const auto start = std::chrono::steady_clock::now();
    check(ops.copyTree(from, to, options, [&](const vantrel::CopyProgress&) { ++reports; }),
          "engine copy");
    if (!fsyncEach) {
        check(ops.syncFileSystem(to), "syncfs");
    }
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

// measureTree of the tree with the page cache dropped first.
double timeMeasure(const fs::path& root) {
    ::sync();
    dropCaches();
    RealFileOps ops;
    vantrel::TreeSize size;
    const auto start = std::chrono::steady_clock::now();
    check(ops.measureTree(root, size), "measureTree");
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

// Runs a program to its end, in `dir` when one is given; returns its exit status.
int run(const char* const* args, const fs::path& dir = {}) {
    pid_t pid;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!dir.empty()) {
        ::posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    }
    // The run's own status lines would only clutter the figures.
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned =
        ::posix_spawnp(&pid, args[0], &actions, nullptr, const_cast<char* const*>(args), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error(std::string("cannot start ") + args[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double timeCp(const fs::path& from, const fs::path& to) {
    const std::string src = from.string();
    const std::string dst = to.string();
    const char* const cp[] = {"cp", "-a", src.c_str(), dst.c_str(), nullptr};
    const char* const sync[] = {"sync", nullptr};
    const auto start = std::chrono::steady_clock::now();
    if (run(cp) != 0) {
        throw std::runtime_error("cp -a failed");
    }
    if (run(sync) != 0) {
        throw std::runtime_error("sync failed");
    }
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void bench(const char* label, const fs::path& source, const fs::path& work, int rounds,
           bool measure) {
    RealFileOps ops;
    std::vector<double> engine, cp;
    bool dropped = false;
    const fs::path dst = work / (std::string(label) + "-copy");
    for (int round = 0; round < rounds; ++round) {
        // Alternate which side goes first so neither always follows the other's writeback.
        for (int side = 0; side < 2; ++side) {
            const bool engineTurn = (side == 0) == (round % 2 == 0);
            ops.removeTree(dst);
            prepare(source, dropped);
            const double t = engineTurn ? timeEngine(source, dst) : timeCp(source, dst);
            (engineTurn ? engine : cp).push_back(t);
        }
        std::printf("  round %d: engine+syncfs %.3f s, cp -a+sync %.3f s\n", round + 1,
                    engine.back(), cp.back());
        std::fflush(stdout);
    }
    ops.removeTree(dst);
    const double e = median(engine);
    const double c = median(cp);
    std::printf("  %s median: engine+syncfs %.3f s, cp -a+sync %.3f s, ratio engine/cp %.2f%s\n",
                label, e, c, e / c, dropped ? "" : " (page cache not dropped: no permission)");
    prepare(source, dropped);
    const double each = timeEngine(source, dst, true);
    ops.removeTree(dst);
    std::printf("  %s once: engine+fsync per file %.3f s (%.2f x one syncfs)\n", label, each,
                each / e);
    if (measure) {
        // Both cold: the count, then a copy with the page cache dropped and nothing read.
        const double m = timeMeasure(source);
        ::sync();
        dropCaches();
        const double cold = timeEngine(source, dst);
        ops.removeTree(dst);
        std::printf("  %s measureTree, cold cache: %.3f s, %.1f %% of a cold copy (%.3f s)\n",
                    label, m, 100 * m / cold, cold);
    }
    std::fflush(stdout);
}

// A new job in `job` backing `source` up into `target`: its config.ini as the window writes
// it, nothing else.
void writeJob(const fs::path& job, const fs::path& source, const fs::path& target) {
    fs::create_directories(job);
    fs::create_directories(target);
    const std::string text = "[备份设置]\r\n备份文件源地址=" + vantrel::pathToUtf8(source) +
                             "\r\n备份文件目的地址=" + vantrel::pathToUtf8(target) +
                             "/\r\n定时时刻=10:00:00\r\n备份频率=星期四;\r\n备份个数=5\r\n";
    const std::string gbk = vantrel::utf8ToGbk(text);
    writeFile(job / "config.ini", std::vector<char>(gbk.begin(), gbk.end()), gbk.size());
}

// A whole first `vantrel-cli backup` of a new job, start to exit.
double timeCli(const fs::path& cli, const fs::path& job) {
    const std::string program = cli.string();
    const char* const args[] = {program.c_str(), "backup", nullptr};
    const auto start = std::chrono::steady_clock::now();
    if (const int status = run(args, job); status != 0) {
        throw std::runtime_error("vantrel-cli backup exited " + std::to_string(status));
    }
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

// Each program's whole run against cp -a + sync, in turns that start one later each round,
// each from a cold cache; the job's folder (its database and log) lies beside the tree, on
// the file system measured.
void benchCli(const char* label, const std::vector<fs::path>& clis, const fs::path& source,
              const fs::path& work, int rounds) {
    RealFileOps ops;
    const std::size_t sides = clis.size() + 1;  // the last is cp
    std::vector<std::vector<double>> times(sides);
    bool dropped = false;
    const fs::path job = work / (std::string(label) + "-job");
    const fs::path target = work / (std::string(label) + "-target");
    const fs::path dst = work / (std::string(label) + "-cp");
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t turn = 0; turn < sides; ++turn) {
            const std::size_t side = (turn + static_cast<std::size_t>(round)) % sides;
            ops.removeTree(job);
            ops.removeTree(target);
            ops.removeTree(dst);
            writeJob(job, source, target);
            prepare(source, dropped);
            times[side].push_back(side < clis.size() ? timeCli(clis[side], job)
                                                     : timeCp(source, dst));
        }
        std::printf("  round %d:", round + 1);
        for (std::size_t side = 0; side < clis.size(); ++side) {
            std::printf(" vantrel-cli backup (%zu) %.3f s,", side + 1, times[side].back());
        }
        std::printf(" cp -a+sync %.3f s\n", times.back().back());
        std::fflush(stdout);
    }
    ops.removeTree(job);
    ops.removeTree(target);
    ops.removeTree(dst);
    const double c = median(times.back());
    for (std::size_t side = 0; side < clis.size(); ++side) {
        const double w = median(times[side]);
        // The best rounds too: a loaded machine or a loop image slows some rounds threefold.
        const double best = *std::min_element(times[side].begin(), times[side].end());
        const double bestCp = *std::min_element(times.back().begin(), times.back().end());
        std::printf(
            "  %s median: vantrel-cli backup (%zu: %s) %.3f s, cp -a+sync %.3f s, "
            "ratio %.2f; best %.3f s against %.3f s, %.2f%s\n",
            label, side + 1, clis[side].c_str(), w, c, w / c, best, bestCp, best / bestCp,
            dropped ? "" : " (page cache not dropped: no permission)");
    }
    std::fflush(stdout);
}

vantrel::bench::BenchSteps repeatSteps() {
    vantrel::bench::BenchSteps steps;
    steps.prepare = [](const fs::path& source) {
        bool dropped = false;
        prepare(source, dropped);
        return dropped;
    };
    steps.timeCpSynced = [](const fs::path& from, const fs::path& to) { return timeCp(from, to); };
    return steps;
}

// Every measure asked for, with the trees made and copied under `dir`.
void benchIn(const fs::path& dir, const Options& o) {
    const fs::path work = dir / ("vantrel-copy-bench-" + std::to_string(::getpid()));
    RealFileOps ops;
    fs::create_directories(work);
    struct Cleanup {
        RealFileOps& ops;
        fs::path path;
        ~Cleanup() { ops.removeTree(path); }
    } cleanup{ops, work};

    if (o.smallFiles > 0) {
        const std::uint64_t bytes = buildSmallTree(work / "small", o);
        std::printf("small tree: %d files in %d folders, %.1f MiB\n", o.smallFiles, o.folders,
                    static_cast<double>(bytes) / (1 << 20));
        if (o.plain) {
            bench("small", work / "small", work, o.rounds, true);
        }
        if (!o.clis.empty()) {
            benchCli("small", o.clis, work / "small", work, o.rounds);
        }
        if (o.repeat) {
            vantrel::bench::benchRepeat(work / "small", work, o.rounds, repeatSteps());
        }
        if (o.exclusions) {
            vantrel::bench::benchExclusions(work / "small", work, o.rounds, repeatSteps());
        }
        if (o.hashing) {
            vantrel::bench::benchHashing(work / "small", work, o.rounds, repeatSteps());
        }
        ops.removeTree(work / "small");
    }
    if (o.bigFiles > 0) {
        const std::uint64_t bytes = buildBigTree(work / "big", o);
        std::printf("big tree: %d files of %d MiB in %d folder(s), %.1f MiB\n", o.bigFiles,
                    o.bigMib, o.bigFolders, static_cast<double>(bytes) / (1 << 20));
        if (o.plain) {
            bench("big", work / "big", work, o.rounds, false);
        }
        if (!o.clis.empty()) {
            benchCli("big", o.clis, work / "big", work, o.rounds);
        }
        if (o.hashing) {
            vantrel::bench::benchHashing(work / "big", work, o.rounds, repeatSteps());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options o = parse(argc, argv);
        if (o.dirs.empty()) {
            o.dirs.push_back(fs::temp_directory_path());
        }
        for (const fs::path& dir : o.dirs) {
            if (o.dirs.size() > 1) {
                std::printf("== %s\n", dir.c_str());
            }
            benchIn(dir, o);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "copy_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
