#include "app/Glyphs.h"

#include <QColor>
#include <QPainter>
#include <QPolygon>
#include <QPolygonF>
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

QPixmap ApplicationIcon(int size) {
    QPixmap pixmap = Transparent(size, size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);  // drawn on the SVG's 64 x 64 grid
    const QColor dark(0x40, 0x40, 0x40);
    const auto box = [&](QRectF r, QColor fill, QColor pen, double width, double radius = 0) {
        p.setPen(QPen(pen, width));
        p.setBrush(fill);
        p.drawRoundedRect(r, radius, radius);
    };
    box({2, 8, 60, 48}, QColor(0xC0, 0xC0, 0xC0), dark, 2, 4);  // the case
    box({7, 13, 32, 17}, QColor(0, 0xFF, 0), dark, 1);          // the display
    // "0.2" in segments on the display.
    const QRectF segments[] = {{10, 16, 2, 11}, {15, 16, 6, 2}, {19, 16, 2, 11}, {15, 25, 6, 2},
                               {15, 16, 2, 11}, {24, 25, 2, 2}, {29, 16, 6, 2},  {33, 16, 2, 5},
                               {29, 20, 6, 2},  {29, 20, 2, 7}, {29, 25, 6, 2}};
    for (const QRectF& r : segments) p.fillRect(r, QColor(0, 0x40, 0));
    for (const double y : {13.0, 21.0, 29.0}) {  // keys
        for (const double x : {43.0, 52.0}) box({x, y, 7, 5}, QColor(0xE0, 0xE0, 0xE0), dark, 1);
    }
    p.setPen(QPen(dark, 0.5));
    p.setBrush(Blue);
    p.drawPolygon(QPolygonF{QPointF(46, 39), QPointF(50, 36), QPointF(50, 42)});
    p.drawPolygon(QPolygonF{QPointF(56, 39), QPointF(52, 36), QPointF(52, 42)});
    box({7, 36, 32, 4}, Qt::white, QColor(0x80, 0x80, 0x80), 1);  // readout fields
    box({7, 43, 32, 4}, Qt::white, QColor(0x80, 0x80, 0x80), 1);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xC0, 0, 0));
    p.drawEllipse(QPointF(14, 52), 1.5, 1.5);
    p.setBrush(Qt::black);
    p.drawEllipse(QPointF(22, 52), 1.5, 1.5);
    return pixmap;
}

}  // namespace k419::app
