#pragma once

#include <QIcon>
#include <QImage>

namespace qm {

// The status item's icon: the icon theme's display icon where the desktop has one, else a display
// drawn at every size a panel asks for (so it stays sharp at 1x and 2x) in a light screen with a
// dark frame, which reads on light and dark panels alike.
QIcon hostStatusIcon();
// The same drawing, without the theme: what the Host shows where no theme answers.
QIcon drawnHostIcon();
// The drawing for a square of `size` pixels: every edge sits on the pixel grid of that size, so no
// size is a scaled copy of another. The build writes the icon theme's files of the Host's icon
// ("quillmere-host", which the desktop entry names) from it.
QImage drawnHostIconImage(int size);
// The application's icon for its windows and the About panel.
QIcon hostApplicationIcon();

}  // namespace qm
