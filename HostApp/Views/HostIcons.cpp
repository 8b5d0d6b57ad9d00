#include "HostApp/Views/HostIcons.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <QPainterPath>
#include <QPixmap>

namespace qm {

QImage drawnHostIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double unit = size / 16.0;
    const double frame = std::max(1.0, std::round(unit * 1.5));
    // The silhouette: the monitor body, its neck and its foot, all in one dark shape.
    const QRectF body(std::round(unit * 1), std::round(unit * 2), std::round(unit * 14), std::round(unit * 10));
    const double neckWidth = std::max(2.0, std::round(unit * 4));
    const QRectF neck(std::round((size - neckWidth) / 2), body.bottom(), neckWidth, std::round(unit * 2));
    const QRectF foot(std::round(unit * 4), neck.bottom(), size - 2 * std::round(unit * 4), frame);
    QPainterPath silhouette;
    silhouette.addRoundedRect(body, unit * 1.5, unit * 1.5);
    silhouette.addRect(neck);
    silhouette.addRoundedRect(foot, frame / 2, frame / 2);
    silhouette = silhouette.simplified();
    // A light rim round the dark shape keeps its outline visible on a dark panel; the dark shape
    // itself carries it on a light one.
    painter.setPen(QPen(QColor(255, 255, 255, 170), std::max(1.0, unit)));
    painter.setBrush(QColor(0x1f, 0x23, 0x28));
    painter.drawPath(silhouette);
    // The screen: light, with a blue glow.
    const QRectF screen = body.adjusted(frame, frame, -frame, -frame);
    QLinearGradient glow(screen.topLeft(), screen.bottomRight());
    glow.setColorAt(0, QColor(0xe8, 0xf1, 0xff));
    glow.setColorAt(1, QColor(0x7f, 0xb2, 0xff));
    painter.fillRect(screen, glow);
    painter.end();
    return image;
}

QIcon drawnHostIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 44, 48, 64, 128, 256}) icon.addPixmap(QPixmap::fromImage(drawnHostIconImage(size)));
    return icon;
}

QIcon hostStatusIcon() {
    if (QIcon::hasThemeIcon("video-display")) return QIcon::fromTheme("video-display");
    return drawnHostIcon();
}

QIcon hostApplicationIcon() { return QIcon::fromTheme("quillmere-host", drawnHostIcon()); }

}  // namespace qm
