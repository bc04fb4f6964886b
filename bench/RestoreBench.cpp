// Times getting files back, on real copies made by real runs:
//  - versions of one file in a job with many copies of a tree of small files (each copy made
//    with sharing on, so each has a manifest; then again with the manifests dropped, so every
//    copy is read on disk);
//  - restoring the newest copy of that tree whole to an empty folder, made durable, against
//    `cp -a` of the copy followed by `sync`, alternating, the page cache dropped where allowed;
//  - changes between the last two copies of a large tree, warm, from manifests and on disk.
//
// With --cli, `vantrel-cli versions` is timed as a process too, start-up and all; and the
// second backup of the large tree with sharing on, as a whole `vantrel-cli backup`: its peak
// memory, and its time against `cp -al` of the previous copy, alternating, warm.
//
// Usage: restore_bench [--rounds N] [--files N] [--folders N] [--copies N]
//                      [--big-files N] [--big-folders N] [--dir PATH] [--cli PATH]

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchOptions.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/restore/FileVersions.h"
#include "engine/restore/Restore.h"
#include "engine/run/BackupRun.h"
#include "platform/Database.h"
#include "platform/FileOps.h"
#include "platform/TextCodec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace vantrel;

struct Options {
    int rounds = 5;
    int files = 20000;
    int folders = 200;
    int copies = 50;
    int bigFiles = 200000;
    int bigFolders = 2000;
    fs::path dir = fs::temp_directory_path();
    std::string cli;  // vantrel-cli to time
};

Options parse(int argc, char** argv) {
    using vantrel::bench::countAtLeast;
    Options o;
    vantrel::bench::parseOptions(
        argc, argv,
        {{"--rounds", [&o](const char* v) { o.rounds = countAtLeast(1, v); }},
         {"--files", [&o](const char* v) { o.files = std::atoi(v); }},
         {"--folders", [&o](const char* v) { o.folders = countAtLeast(1, v); }},
         {"--copies", [&o](const char* v) { o.copies = countAtLeast(2, v); }},
         {"--big-files", [&o](const char* v) { o.bigFiles = std::atoi(v); }},
         {"--big-folders", [&o](const char* v) { o.bigFolders = countAtLeast(1, v); }},
         {"--dir", [&o](const char* v) { o.dir = pathFromUtf8(v); }},
         {"--cli", [&o](const char* v) { o.cli = fs::absolute(v).string(); }}});
    return o;
}

// A clock the bench moves on by a day for each copy.
class DayClock final : public Clock {
public:
    LocalTime now() const override { return m_now; }
    void nextDay() { m_now += std::chrono::days{1}; }

private:
    LocalTime m_now =
        std::chrono::local_days{std::chrono::year{2026} / 1 / 1} + std::chrono::hours{10};
};

class QuietUi final : public BackupUi {
public:
    void setStatus(std::string_view) override {}
    void showMessage(std::string_view text) override {
        std::fprintf(stderr, "  (%.*s)\n", static_cast<int>(text.size()), text.data());
    }
};

void writeFile(const fs::path& file, const char* data, std::size_t size) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        throw std::runtime_error("cannot write " + file.string());
    }
    ::close(fd);
}

std::string fileName(int i, int folders) {
    char name[64];
    std::snprintf(name, sizeof name, "folder%04d/file%06d.dat", i % folders, i);
    return name;
}

// `files` files of `minSize` to `maxSize` bytes spread over `folders` folders.
void buildTree(const fs::path& root, int files, int folders, std::size_t minSize,
               std::size_t maxSize) {
    std::mt19937_64 rng(20261201);
    std::vector<char> data(maxSize + 4096);
    for (char& c : data) {
        c = static_cast<char>(rng());
    }
    std::uniform_int_distribution<std::size_t> size(minSize, maxSize);
    for (int f = 0; f < folders; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "folder%04d", f);
        fs::create_directories(root / name);
    }
    for (int i = 0; i < files; ++i) {
        writeFile(root / fileName(i, folders), data.data() + rng() % 4096, size(rng));
    }
}

double seconds(const std::function<void()>& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs the program and waits for it; `peakKb`, when given, gets its peak resident memory.
int run(const char* const* args, long* peakKb = nullptr) {
    pid_t pid;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, const_cast<char* const*>(args), environ) !=
        0) {
        throw std::runtime_error(std::string("cannot start ") + args[0]);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    if (peakKb != nullptr) {
        *peakKb = usage.ru_maxrss;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// Both sides start alike: everything written is on disk, the cache dropped, the copy read.
bool prepare(const fs::path& copy) {
    ::sync();
    const bool dropped = dropCaches();
    std::vector<char> buf(std::size_t{1} << 20);
    for (const auto& e : fs::recursive_directory_iterator(copy)) {
        if (e.is_regular_file()) {
            const int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
            while (fd >= 0 && ::read(fd, buf.data(), buf.size()) > 0) {
            }
            ::close(fd);
        }
    }
    return dropped;
}

// One job in `work/job`, backing up `source` into `work/bak`, sharing unchanged files.
struct Job {
    Job(const fs::path& work, const fs::path& source)
        : dir(work / "job"),
          ws{dir, files, clock, ui},
          settings{pathToUtf8(source), pathToUtf8(work / "bak"), {}, {}, {}} {
        fs::create_directories(dir);
        settings.ShareUnchanged = true;
    }
    void backUp() {
        clock.nextDay();
        RunBackup(ws, settings);
    }
    // Every copy read on disk from now on, as copies made without a manifest are.
    void dropManifests() {
        Database db(ws.databaseFile(), Database::Mode::OpenExisting);
        db.exec("DELETE FROM vantrel_manifest");
    }

    fs::path dir;
    RealFileOps files;
    DayClock clock;
    QuietUi ui;
    Workspace ws;
    TBackupSettings settings;
};

void benchVersions(const fs::path& work, const Options& o) {
    const fs::path source = work / "source";
    buildTree(source, o.files, o.folders, 1024, 16384);
    Job job(work, source);
    const std::string watched = fileName(0, o.folders);
    std::vector<char> data(100, 'v');
    const double made = seconds([&] {
        for (int c = 0; c < o.copies; ++c) {
            if (c % 5 == 4) {  // a new version of the file watched now and then
                data[0] = static_cast<char>('a' + c % 26);
                writeFile(source / watched, data.data(), data.size());
            }
            job.backUp();
        }
    });
    std::printf("%d copies of %d files in %d folders made in %.1f s (sharing on)\n", o.copies,
                o.files, o.folders, made);
    for (const bool manifests : {true, false}) {
        if (!manifests) {
            job.dropManifests();
        }
        std::vector<double> times;
        std::size_t found = 0;
        for (int r = 0; r < std::max(o.rounds, 5); ++r) {
            times.push_back(
                seconds([&] { found = versionsOf(job.ws, job.settings, watched).size(); }));
        }
        std::printf("  versions of one file, %s: median %.3f s (%zu versions; goal < 0.2 s)\n",
                    manifests ? "from manifests" : "copies read on disk", median(times), found);
        if (!o.cli.empty()) {
            // The program as a user starts it, in the job's folder, output to nowhere.
            const std::string config =
                utf8ToGbk("[备份设置]\r\n备份文件源地址=" + job.settings.SourcePath +
                          "\r\n备份文件目的地址=" + job.settings.TargetFolder + "\r\n");
            writeFile(job.dir / "config.ini", config.data(), config.size());
            std::vector<double> cliTimes;
            const std::string path = (source / watched).string();
            for (int r = 0; r < std::max(o.rounds, 5); ++r) {
                cliTimes.push_back(seconds([&] {
                    const std::string dir = job.dir.string();
                    const std::string command =
                        "cd '" + dir + "' && '" + o.cli + "' versions '" + path + "' >/dev/null";
                    const char* const sh[] = {"sh", "-c", command.c_str(), nullptr};
                    if (run(sh) != 0) {
                        throw std::runtime_error("vantrel-cli versions failed");
                    }
                }));
            }
            std::printf("    vantrel-cli versions, the whole process: median %.3f s\n",
                        median(cliTimes));
        }
    }

    // The newest copy restored whole to an empty folder, against cp -a of it.
    const fs::path copy = jobCopies(job.ws).front().place();
    const fs::path target = work / "restored";
    RealFilePlacer placer;
    std::vector<double> restore, cp;
    bool dropped = true;
    for (int r = 0; r < o.rounds; ++r) {
        for (int side = 0; side < 2; ++side) {
            const bool ours = (side == 0) == (r % 2 == 0);
            job.files.removeTree(target);
            dropped = prepare(copy) && dropped;
            if (ours) {
                RestoreRequest request;
                request.paths = {"."};
                request.to = pathToUtf8(target);
                RestoreOutcome out;
                restore.push_back(
                    seconds([&] { out = restoreFiles(job.ws, job.settings, request, placer); }));
                if (out.restored != static_cast<std::uint64_t>(o.files)) {
                    throw std::runtime_error("restore placed " + std::to_string(out.restored));
                }
            } else {
                const std::string from = copy.string(), to = target.string();
                const char* const cpArgs[] = {"cp", "-a", from.c_str(), to.c_str(), nullptr};
                const char* const syncArgs[] = {"sync", nullptr};
                cp.push_back(seconds([&] {
                    if (run(cpArgs) != 0 || run(syncArgs) != 0) {
                        throw std::runtime_error("cp -a or sync failed");
                    }
                }));
            }
        }
        std::printf("  round %d: restore %.3f s, cp -a + sync %.3f s\n", r + 1, restore.back(),
                    cp.back());
        std::fflush(stdout);
    }
    job.files.removeTree(target);
    std::printf(
        "  restore of the whole tree: median %.3f s, cp -a + sync %.3f s, ratio %.2f "
        "(goal <= 1.1)%s\n",
        median(restore), median(cp), median(restore) / median(cp),
        dropped ? "" : " (page cache not dropped: no permission)");
    job.files.removeTree(work / "bak");
    job.files.removeTree(source);
}

void benchChanges(const fs::path& work, const Options& o) {
    const fs::path source = work / "big-source";
    buildTree(source, o.bigFiles, o.bigFolders, 0, 64);
    Job job(work / "big", source);
    job.backUp();
    // One file in a hundred changed, one in a thousand gone, a folder added.
    std::vector<char> data(10, 'c');
    for (int i = 0; i < o.bigFiles; i += 100) {
        writeFile(source / fileName(i, o.bigFolders), data.data(), data.size());
    }
    for (int i = 7; i < o.bigFiles; i += 1000) {
        fs::remove(source / fileName(i, o.bigFolders));
    }
    fs::create_directories(source / "new");
    job.backUp();
    for (const bool manifests : {true, false}) {
        if (!manifests) {
            job.dropManifests();
        }
        std::vector<double> times;
        ChangeCounts counts;
        for (int r = 0; r < std::max(o.rounds, 3) + 1; ++r) {  // the first only warms
            const double t = seconds([&] {
                auto copies = jobCopies(job.ws);
                auto older = copies[1].stream();
                auto newer = copies[0].stream();
                counts = compareEntries(*older, *newer);
            });
            if (r > 0) {
                times.push_back(t);
            }
        }
        std::printf("  changes of %d files, %s: median %.3f s warm (%s; goal < 2 s)\n", o.bigFiles,
                    manifests ? "from manifests" : "copies read on disk", median(times),
                    counts.summary().c_str());
    }
}

void benchSharingRun(const fs::path& work, const fs::path& source, const Options& o) {
    Job job(work / "share", source);
    job.backUp();  // the previous copy, dated 2026-01-02
    const fs::path bak = pathFromUtf8(job.settings.TargetFolder);
    fs::path previous;  // the one copy, among the job's lock and probe files
    for (const auto& e : fs::directory_iterator(bak)) {
        previous = e.is_directory() ? e.path() : previous;
    }
    const std::string config = utf8ToGbk(
        "[备份设置]\r\n备份文件源地址=" + job.settings.SourcePath +
        "\r\n备份文件目的地址=" + job.settings.TargetFolder +
        "\r\n定时时刻=10:00:00\r\n备份频率=星期一;星期二;星期三;星期四;星期五;星期六;星期日;"
        "\r\n共享未改动的文件=1\r\n备份个数=100\r\n");
    writeFile(job.dir / "config.ini", config.data(), config.size());
    const std::string command =
        "cd '" + job.dir.string() + "' && '" + o.cli + "' backup >/dev/null";
    const std::string linked = (work / "share" / "cp-al").string();
    std::vector<double> cli, cp;
    long peakKb = 0;
    for (int r = 0; r < std::max(o.rounds, 3); ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            // Only the previous copy is left, and everything written is on disk.
            for (const auto& e : fs::directory_iterator(bak)) {
                if (e.is_directory() && e.path() != previous) {
                    job.files.removeTree(e.path());
                }
            }
            job.files.removeTree(linked);
            ::sync();
            if ((turn + r) % 2 == 0) {
                cli.push_back(seconds([&] {
                    const char* const sh[] = {"sh", "-c", command.c_str(), nullptr};
                    long kb = 0;
                    if (run(sh, &kb) != 0) {
                        throw std::runtime_error("vantrel-cli backup failed");
                    }
                    peakKb = std::max(peakKb, kb);
                }));
            } else {
                cp.push_back(seconds([&] {
                    const std::string from = previous.string();
                    const char* const args[] = {"cp", "-al", from.c_str(), linked.c_str(), nullptr};
                    if (run(args) != 0) {
                        throw std::runtime_error("cp -al failed");
                    }
                }));
            }
        }
    }
    std::printf(
        "  second backup of %d files, sharing on, vantrel-cli: median %.3f s against "
        "cp -al of the previous copy %.3f s (%.2f; goal <= 1.25), peak memory %ld KB "
        "(goal <= 64 MB)\n",
        o.bigFiles, median(cli), median(cp), median(cli) / median(cp), peakKb);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options o = parse(argc, argv);
        const fs::path work = o.dir / ("vantrel-restore-bench-" + std::to_string(::getpid()));
        RealFileOps ops;
        fs::create_directories(work);
        struct Cleanup {
            RealFileOps& ops;
            fs::path path;
            ~Cleanup() { ops.removeTree(path); }
        } cleanup{ops, work};
        if (o.files > 0) {
            benchVersions(work, o);
        }
        if (o.bigFiles > 0) {
            benchChanges(work, o);
            if (!o.cli.empty()) {
                benchSharingRun(work, work / "big-source", o);
            }
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "restore_bench: %s\n", e.what());
        return 1;
    }
}
