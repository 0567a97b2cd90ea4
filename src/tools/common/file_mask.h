// File masks as the file tools take them from the user: "*" stands for any run of
// characters, "?" for one character, and letters match without regard to case, as masks are
// typed, not file names. As masks have always worked: one ending in ".*" also matches names
// without an extension (so "*.*" matches every name), and one ending in a lone "." matches
// only names without one.
#pragma once

#include <QString>

// True when the name (one name, no folder) matches the mask. Any thread.
bool FileMaskMatches(const QString& name, const QString& mask);
