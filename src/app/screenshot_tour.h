// Pictures of every window for the README: the main window with each window of its panel
// shown in turn, picked through the tree and the menus as a user picks them, and the help
// viewer.
#pragma once

#include <QString>

class TMaster;

// Saves NAME.png into `folder` (which must exist) for the window shown at start
// ("welcome"), for every tool of the tree that has a window (its node text in lower case,
// "pwd-maker"), for every menu entry that shows a window in the panel ("about") and for
// the help viewer ("help"). Each path saved is printed on stderr. Returns how many
// pictures could not be saved. Main thread, with the main window shown.
int TakeScreenshotTour(TMaster& master, const QString& folder);
