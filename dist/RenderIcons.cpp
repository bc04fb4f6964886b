// Writes the program's icon as hicolor theme PNGs: <dir>/<N>x<N>/apps/vantrel.png for each
// size given. Run at build time, without a display.
// Usage: vantrel_render_icons <dir> <size>...

#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QString>

#include "shell/AppIcon.h"

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fputs("usage: vantrel_render_icons <dir> <size>...\n", stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString file = dir + QStringLiteral("/vantrel.png");
        if (size <= 0 || !QDir().mkpath(dir) || !vantrel::drawAppIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "vantrel_render_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
