// The pictures on the two range keys, drawn rather than stored: a blue triangle with a dark
// grey edge and a white highlight, and a bar, on a transparent background.
#pragma once

#include <QPixmap>

namespace k419::app {

// BitBtn7 (range down), 20 x 16: a bar at the left, then a triangle pointing left towards it.
QPixmap RangeDownGlyph();
// BitBtn8 (range up), 21 x 16: a triangle pointing right, then a bar at the right.
QPixmap RangeUpGlyph();
// BitBtn1 (close the program), 16 x 16: an open door with an arrow leaving through it.
QPixmap CloseGlyph();

}  // namespace k419::app
