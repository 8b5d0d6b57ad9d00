#pragma once

class QWidget;

namespace qm {

class WindowModel;

// Shows, raises and hides a window as its model says: a visible model brings its window back from
// hidden or minimised and raises it (activating it, or the sheet it shows, when the model is key);
// a hidden one hides it.
// The offscreen platform (headless runs, smoke tests) has no stacking to change.
void followModelVisibility(QWidget* window, const WindowModel& model);

}  // namespace qm
