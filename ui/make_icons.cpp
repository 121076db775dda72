// Build step: writes the dial icon as <out>/instrument-reader.svg and
// <out>/<n>x<n>/instrument-reader.png for each size, for the install rules.
// Usage: make-icons OUT-FOLDER SIZE...
#include "dial_icon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fputs("usage: make-icons OUT-FOLDER SIZE...\n", stderr);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QFile svg(out.filePath("instrument-reader.svg"));
    if (!out.mkpath(".") || !svg.open(QIODevice::WriteOnly) ||
        svg.write(DialIconSvg().toUtf8()) < 0)
        return 1;
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        QImage image(size, size, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        PaintDialIcon(painter, size);
        painter.end();
        const QString folder = QString("%1x%1").arg(size);
        if (!out.mkpath(folder) ||
            !image.save(out.filePath(folder + "/instrument-reader.png"), "PNG"))
            return 1;
    }
    return 0;
}
