#include "app/Glyphs.h"

#include <QColor>
#include <QPainter>
#include <QPolygon>
#include <algorithm>

namespace k419::app {

namespace {

const QColor Blue(0, 0, 255);
const QColor Edge(128, 128, 128);
const QColor Highlight(255, 255, 255);

QPixmap Transparent(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// Draws the range key picture of width `width`: bar and triangle laid out for the left-pointing
// variant, mirrored for the right-pointing one. Hard pixel edges, as a 16-colour bitmap has.
QPixmap RangeGlyph(int width, bool pointsLeft) {
    QPixmap pixmap = Transparent(width, 16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    const auto x = [&](int left) { return pointsLeft ? left : width - 1 - left; };

    // Bar: columns 1-6 including its edge, rows 1-14.
    const int barLeft = std::min(x(1), x(6));
    p.fillRect(barLeft, 1, 6, 14, Edge);
    p.fillRect(barLeft + 1, 2, 4, 12, Blue);
    p.fillRect(barLeft + 1, 2, 1, 12, Highlight);
    p.fillRect(barLeft + 1, 2, 4, 1, Highlight);

    // Triangle: tip at column 9 (rows 7-8), base at column 18 (rows 1-14).
    const QPolygon triangle{QPoint(x(9), 7), QPoint(x(18), 1), QPoint(x(18), 14), QPoint(x(9), 8)};
    p.setPen(Edge);
    p.setBrush(Blue);
    p.drawPolygon(triangle);
    // Highlight one pixel inside the upper edge.
    p.setPen(Highlight);
    p.drawLine(QPoint(x(11), 6), QPoint(x(17), 2));
    return pixmap;
}

}  // namespace

QPixmap RangeDownGlyph() { return RangeGlyph(20, true); }

QPixmap RangeUpGlyph() { return RangeGlyph(21, false); }

QPixmap CloseGlyph() {
    QPixmap pixmap = Transparent(16, 16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    // Door frame and the open door leaf.
    p.fillRect(1, 1, 9, 14, Edge);
    p.fillRect(2, 2, 7, 12, QColor(0, 0, 0));
    const QPolygon leaf{QPoint(2, 2), QPoint(6, 4), QPoint(6, 15), QPoint(2, 13)};
    p.setPen(Edge);
    p.setBrush(QColor(160, 112, 32));
    p.drawPolygon(leaf);
    // Arrow out of the door, to the right.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 128, 0));
    p.drawRect(8, 7, 4, 2);
    p.drawPolygon(QPolygon{QPoint(12, 4), QPoint(15, 7), QPoint(15, 8), QPoint(12, 11)});
    return pixmap;
}

}  // namespace k419::app
