#pragma once

#include <Qt>
#include <vector>

class QWidget;

namespace qm {

class WindowModel;

// Shows, raises and hides a window as its model says: a visible model brings its window back from
// hidden or minimised and raises it (activating it, or its front sheet, when the model is key);
// a hidden one hides it. The focus stays where the user has it among a window and its sheets: a
// window or sheet that has it, or whose sibling sheet has it, is left as it is.
// The offscreen platform (headless runs, smoke tests) has no stacking to change.
void followModelVisibility(QWidget* window, const WindowModel& model);

// Gives the window `base` plus stays-on-top while its model floats. `applied` remembers what was
// last given, so the flags are only touched when the level changes. A window already on screen
// keeps its place and stays mapped: changing a shown widget's flags the ordinary way unmaps and
// maps it anew, and window managers then withdraw it or place it afresh.
void applyWindowLevel(QWidget* window, const WindowModel& model, Qt::WindowFlags& applied, Qt::WindowFlags base);

// A window's sheets are the dialogs it shows its alerts in, each a top-level window of its own
// (a child widget of the window). Several may be up at once; the one brought forward last (shown,
// or focused by the user or the window manager) is the front one, which takes the focus the window
// itself is given.
void markAsSheet(QWidget* sheet);
void bringSheetForward(QWidget* sheet);
// The visible sheets of `window`, the front one last (window-modal dialogs that are not marked
// count too, behind the marked ones).
std::vector<QWidget*> visibleSheets(QWidget* window);
// Makes `sheet` (a dialog of its parent window, marked as a sheet) hold its window's input back
// itself while it is up, instead of through Qt's window modality: Qt blocks every earlier modal
// dialog of a window when a later one opens, so with two up the earlier could not be clicked.
// Held this way, each sheet up takes its own clicks and keys, whichever came first; the window
// takes none and stays while its window manager's close button is pressed, and the focus the
// window is given goes on to its front sheet.
void holdWindowInputWhileUp(QWidget* sheet);
// A dialog modal to its parent window as a sheet of it (markAsSheet, holdWindowInputWhileUp), so
// that several up on one window each take their own click; without a parent, to the application.
void makeModalToItsWindow(QWidget* dialog);

// A Host without a desktop shows no window: `window` stays hidden whatever its model says.
void keepOffScreen(QWidget* window);

// Activates `window` now, or once no mouse button is held in the application: Qt drops a pressed
// button whose window loses the activation before the release, so a click under way is never cut
// short. An activation that had to wait is given up when by then the window is hidden, or the
// focus is in it or (unless `overSiblingSheets`) in another sheet of its window.
void activateWithoutCuttingAClick(QWidget* window, bool overSiblingSheets = false);

}  // namespace qm
