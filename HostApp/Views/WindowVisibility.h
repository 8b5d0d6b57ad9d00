#pragma once

#include <Qt>

class QWidget;

namespace qm {

class WindowModel;

// Shows, raises and hides a window as its model says: a visible model brings its window back from
// hidden or minimised and raises it (activating it, or the sheet it shows, when the model is key);
// a hidden one hides it.
// The offscreen platform (headless runs, smoke tests) has no stacking to change.
void followModelVisibility(QWidget* window, const WindowModel& model);

// Gives the window `base` plus stays-on-top while its model floats. `applied` remembers what was
// last given, so the flags are only touched when the level changes. A window already on screen
// keeps its place and stays mapped: changing a shown widget's flags the ordinary way unmaps and
// maps it anew, and window managers then withdraw it or place it afresh.
void applyWindowLevel(QWidget* window, const WindowModel& model, Qt::WindowFlags& applied, Qt::WindowFlags base);

}  // namespace qm
