// Times OperationLog::Append on a short log and on a long one. Appending in place must cost
// about the same whatever the log's length; prints the median time of each and their ratio.
//
// Usage: append_bench [appends per round] [rounds]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/records/OperationLog.h"
#include "platform/TextCodec.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kLine = vantrel::OperationLog::composeLine(
    std::chrono::local_days{std::chrono::year{2014} / 5 / 15} + std::chrono::hours{9},
    "/home/user/工作/数据", "/mnt/backup/数据_20140515");

// Writes a log of `lines` lines, as many runs would have left it.
void makeLog(const fs::path& file, int lines) {
    fs::create_directories(file.parent_path());
    const std::string bytes = vantrel::utf8ToGbk(kLine) + "\r\n";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < lines; ++i) {
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

// Mean time of one Append, in microseconds, over `appends` appends to a fresh log of `lines`.
double appendMicros(const fs::path& file, int lines, int appends) {
    makeLog(file, lines);
    vantrel::OperationLog log(file);
    const auto start = Clock::now();
    for (int i = 0; i < appends; ++i) {
        log.Append(kLine);
    }
    const std::chrono::duration<double, std::micro> took = Clock::now() - start;
    return took.count() / appends;
}

}  // namespace

int main(int argc, char** argv) {
    const int appends = argc > 1 ? std::atoi(argv[1]) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    if (appends < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: append_bench [appends per round] [rounds]\n");
        return 2;
    }

    const fs::path dir = fs::temp_directory_path() /
                         ("vantrel-append-bench-" + std::to_string(std::random_device{}()));
    const fs::path shortLog = dir / "short" / "Log" / "FileBackupLog.log";
    const fs::path longLog = dir / "long" / "Log" / "FileBackupLog.log";

    // Alternate the two sizes so that drift in the machine's load hits both alike.
    std::vector<double> shortTimes, longTimes;
    for (int r = 0; r < rounds; ++r) {
        shortTimes.push_back(appendMicros(shortLog, 10, appends));
        longTimes.push_back(appendMicros(longLog, 100000, appends));
    }
    std::sort(shortTimes.begin(), shortTimes.end());
    std::sort(longTimes.begin(), longTimes.end());
    const double shortMedian = shortTimes[shortTimes.size() / 2];
    const double longMedian = longTimes[longTimes.size() / 2];

    std::printf("Append, median of %d rounds of %d appends each:\n", rounds, appends);
    std::printf("  log of 10 lines:      %8.2f us per append\n", shortMedian);
    std::printf("  log of 100,000 lines: %8.2f us per append\n", longMedian);
    std::printf("  ratio long/short:     %8.2f (goal < 1.5)\n", longMedian / shortMedian);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
