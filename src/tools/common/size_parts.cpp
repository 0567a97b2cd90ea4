#include "tools/common/size_parts.h"

#include <algorithm>
#include <cmath>

void TSizeParts::Set(int tag, int position) {
    switch (tag) {
        case kSliderBytes:
            bytes = position;
            break;
        case kSliderKilobytes:
            kilobytes = position;
            break;
        case kSliderMegabytes:
            megabytes = position;
            break;
        default:
            break;
    }
}

int TSizeParts::Get(int tag) const {
    switch (tag) {
        case kSliderBytes:
            return bytes;
        case kSliderKilobytes:
            return kilobytes;
        case kSliderMegabytes:
            return megabytes;
        default:
            return 0;
    }
}

TSizeParts SplitIntoParts(qint64 bytes) {
    bytes = std::clamp<qint64>(bytes, 0, kMaxSliderSize);
    TSizeParts parts;
    parts.megabytes = static_cast<int>(bytes / kMegabyte);
    parts.kilobytes = static_cast<int>(bytes % kMegabyte / kKilobyte);
    parts.bytes = static_cast<int>(bytes % kKilobyte);
    return parts;
}

TSizeParts ClampedParts(int bytes, int kilobytes, int megabytes) {
    TSizeParts parts;
    parts.bytes = std::clamp(bytes, 0, kSizeSliderMax);
    parts.kilobytes = std::clamp(kilobytes, 0, kSizeSliderMax);
    parts.megabytes = std::clamp(megabytes, 0, kSizeSliderMax);
    return parts;
}

QString SizeLabelText(qint64 size, int tag) {
    switch (tag) {
        case kSliderKilobytes:
            return QString::asprintf("%.2f Kb", static_cast<double>(size) / kKilobyte);
        case kSliderMegabytes:
            return QString::asprintf("%.4f Mb", static_cast<double>(size) / kMegabyte);
        default:
            return QStringLiteral("%1 bytes").arg(size);
    }
}

int RoundHalfEven(double value) {
    return static_cast<int>(std::nearbyint(value));
}

QString PercentDoneText(int percent) {
    return QStringLiteral("%1% Done").arg(percent);
}
