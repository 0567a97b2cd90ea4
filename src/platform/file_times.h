// A file time: a moment in UTC as seconds and nanoseconds since the Unix epoch, the form
// in which Linux reads and sets file times.
#pragma once

#include <QtGlobal>

struct TFileTime {
    qint64 seconds = 0;
    qint32 nanoseconds = 0;

    friend bool operator==(const TFileTime&, const TFileTime&) = default;
};
