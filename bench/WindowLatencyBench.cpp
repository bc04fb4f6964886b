// Measures how long the main window's event loop stalls while a manual backup copies a
// large tree, and how often the progress text in the status bar changes meanwhile.
// Usage: window_latency_bench [--files N] [--file-kib K] [--big-mib M]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "platform/Clock.h"
#include "platform/TextCodec.h"
#include "shell/Dialogs.h"
#include "shell/MainUnit.h"

namespace {

class PrintingDialogs final : public vantrel::Dialogs {
public:
    void showMessage(QWidget*, const QString& text) override {
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    }
    Answer confirm(QWidget*, const QString&) override { return Answer::Yes; }
    vantrel::SaveAnswer askSave(QWidget*, const QString&) override {
        return vantrel::SaveAnswer::Discard;
    }
    std::optional<QString> pickFolder(QWidget*, const QString&) override { return {}; }
    void showList(QWidget*, const QString& text, const QStringList& items) override {
        std::fprintf(stderr, "list: %s (%lld entries)\n", text.toUtf8().constData(),
                     static_cast<long long>(items.size()));
    }
};

void writeFile(const std::filesystem::path& file, std::size_t bytes) {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, 'v');
    while (bytes > 0) {
        const std::size_t n = std::min(bytes, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        bytes -= n;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int files = 5000;
    int fileKib = 64;
    int bigMib = 512;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--files")
            files = value;
        else if (flag == "--file-kib")
            fileKib = value;
        else if (flag == "--big-mib")
            bigMib = value;
    }
    QApplication app(argc, argv);

    const auto root = std::filesystem::temp_directory_path() /
                      ("vantrel-window-bench-" + std::to_string(::getpid()));
    const auto source = root / "src" / "data";
    for (int i = 0; i < files; ++i) {
        const auto folder = source / ("d" + std::to_string(i / 100));
        std::filesystem::create_directories(folder);
        writeFile(folder / ("f" + std::to_string(i)), static_cast<std::size_t>(fileKib) * 1024);
    }
    if (bigMib > 0) {
        writeFile(source / "big.bin", static_cast<std::size_t>(bigMib) << 20);
    }
    std::filesystem::create_directories(root / "bak");

    vantrel::SystemClock clock;
    PrintingDialogs dialogs;
    vantrel::RealFileOps fileOps;
    vantrel::TMainForm form(root, fileOps, clock, dialogs);
    form.findChild<QLineEdit*>("Edit1")->setText(QString::fromUtf8(vantrel::pathToUtf8(source)));
    form.findChild<QLineEdit*>("Edit2")->setText(
        QString::fromUtf8(vantrel::pathToUtf8(root / "bak")));
    auto* panel = form.findChild<QLabel*>("StatusPanel1");

    // A 10 ms probe timer: the gaps between its ticks are how long the loop was blocked.
    std::vector<qint64> gaps;
    QElapsedTimer sinceTick;
    QStringList texts;
    QTimer probe;
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        gaps.push_back(sinceTick.restart());
        if (texts.isEmpty() || texts.back() != panel->text()) {
            texts << panel->text();
        }
    });

    QElapsedTimer wall;
    wall.start();
    sinceTick.start();
    probe.start();
    form.findChild<QPushButton*>("Button10")->click();
    while (form.runInProgress()) {
        app.processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    const qint64 total = wall.elapsed();
    probe.stop();

    std::sort(gaps.begin(), gaps.end());
    const auto pick = [&](double q) {
        return gaps.empty() ? 0 : gaps[static_cast<std::size_t>(q * (gaps.size() - 1))];
    };
    std::printf("tree: %d files of %d KiB + %d MiB\n", files, fileKib, bigMib);
    std::printf("backup wall time: %lld ms\n", static_cast<long long>(total));
    std::printf("event loop gap (10 ms timer): median %lld ms, p99 %lld ms, max %lld ms\n",
                static_cast<long long>(pick(0.5)), static_cast<long long>(pick(0.99)),
                static_cast<long long>(pick(1.0)));
    std::printf("status texts seen: %lld, last: %s\n", static_cast<long long>(texts.size()),
                panel->text().toUtf8().constData());

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
