// The pictures on the keys and the program's icon, drawn rather than stored: the range keys'
// blue triangle with a dark grey edge and a white highlight, and a bar, on a transparent
// background.
#pragma once

#include <QPixmap>

namespace k419::app {

// BitBtn7 (range down), 20 x 16: a bar at the left, then a triangle pointing left towards it.
QPixmap RangeDownGlyph();
// BitBtn8 (range up), 21 x 16: a triangle pointing right, then a bar at the right.
QPixmap RangeUpGlyph();
// BitBtn1 (close the program), 16 x 16: an open door with an arrow leaving through it.
QPixmap CloseGlyph();
// The program's icon as app/k419.svg draws it (an instrument front: the case, a lime display
// with a reading, a grid of keys), `size` pixels square; for the window when the desktop's
// icon theme does not have it (before the package is installed).
QPixmap ApplicationIcon(int size);

}  // namespace k419::app
