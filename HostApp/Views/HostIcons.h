#pragma once

#include <QIcon>

namespace qm {

// The status item's icon: the icon theme's display icon where the desktop has one, else a display
// drawn at every size a panel asks for (so it stays sharp at 1x and 2x) in a light screen with a
// dark frame, which reads on light and dark panels alike.
QIcon hostStatusIcon();
// The same drawing, without the theme: what the Host shows where no theme answers.
QIcon drawnHostIcon();
// The application's icon for its windows and the About panel.
QIcon hostApplicationIcon();

}  // namespace qm
