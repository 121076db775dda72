#include "dial_icon.h"

#include <QColor>
#include <QPainter>

namespace {

// The design on a 32-unit square.
constexpr double kDesignSize = 32;
constexpr double kCentre = 16;
constexpr double kFaceRadius = 14, kFaceRim = 2;
constexpr double kNeedleTipX = 25, kNeedleTipY = 8, kNeedleWidth = 3;
constexpr double kHubRadius = 3;
const QColor kFace(255, 255, 0), kNeedle(255, 0, 0), kInk(0, 0, 0);

} // namespace

void PaintDialIcon(QPainter& painter, int size) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kDesignSize, size / kDesignSize);
    painter.setPen(QPen(kInk, kFaceRim));
    painter.setBrush(kFace);
    painter.drawEllipse(QPointF(kCentre, kCentre), kFaceRadius, kFaceRadius);
    painter.setPen(QPen(kNeedle, kNeedleWidth, Qt::SolidLine, Qt::SquareCap));
    painter.drawLine(QPointF(kCentre, kCentre), QPointF(kNeedleTipX, kNeedleTipY));
    painter.setPen(Qt::NoPen);
    painter.setBrush(kInk);
    painter.drawEllipse(QPointF(kCentre, kCentre), kHubRadius, kHubRadius);
    painter.restore();
}

QString DialIconSvg() {
    return QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                   "viewBox=\"0 0 %1 %1\">\n"
                   "  <circle cx=\"%2\" cy=\"%2\" r=\"%3\" fill=\"%4\" stroke=\"%5\" "
                   "stroke-width=\"%6\"/>\n"
                   "  <line x1=\"%2\" y1=\"%2\" x2=\"%7\" y2=\"%8\" stroke=\"%9\" "
                   "stroke-width=\"%10\" stroke-linecap=\"square\"/>\n"
                   "  <circle cx=\"%2\" cy=\"%2\" r=\"%11\" fill=\"%5\"/>\n"
                   "</svg>\n")
        .arg(kDesignSize)
        .arg(kCentre)
        .arg(kFaceRadius)
        .arg(kFace.name())
        .arg(kInk.name())
        .arg(kFaceRim)
        .arg(kNeedleTipX)
        .arg(kNeedleTipY)
        .arg(kNeedle.name())
        .arg(kNeedleWidth)
        .arg(kHubRadius);
}
