// The size sliders that Split and Fill share (bytes, kilobytes, megabytes), their label
// texts and quick picks, and the "%d%% Done" progress text of the file tools.
#pragma once

#include <QString>

#include <functional>

inline constexpr qint64 kKilobyte = 1024;
inline constexpr qint64 kMegabyte = 1048576;

// Each size slider runs from 0 to 1023, page 128, a tick every 128.
inline constexpr int kSizeSliderMax = 1023;
inline constexpr int kSizeSliderPage = 128;

// The slider's Tag: which part of the size it sets.
enum TSizeSlider : int {
    kSliderBytes = 0,
    kSliderKilobytes = 1,
    kSliderMegabytes = 2,
};

// The three parts of a size as the sliders hold them; the defaults give 128 Kb.
struct TSizeParts {
    int bytes = 0;
    int kilobytes = 128;
    int megabytes = 0;

    // bytes + kilobytes * 1024 + megabytes * 1048576.
    qint64 Total() const { return bytes + kilobytes * kKilobyte + megabytes * kMegabyte; }
    // Sets the part that the slider `tag` (TSizeSlider) names; other tags change nothing.
    void Set(int tag, int position);
    // The part of the slider `tag`, or 0 for an unknown tag.
    int Get(int tag) const;
    bool operator==(const TSizeParts&) const = default;
};

// The largest size the three sliders make: 1023 MB + 1023 KB + 1023 B.
inline constexpr qint64 kMaxSliderSize = kSizeSliderMax * (kMegabyte + kKilobyte + 1);

// The label under the sliders before any slider moved.
inline constexpr const char* kInitialSizeLabel = "128 Kb";

// Cuts a byte count into megabytes (div 1048576), kilobytes ((mod 1048576) div 1024) and
// bytes (mod 1024). Counts above kMaxSliderSize are cut at the slider maximum.
TSizeParts SplitIntoParts(qint64 bytes);

// Parts read back from stored settings: each kept within the slider range 0..1023, as the
// slider would hold it.
TSizeParts ClampedParts(int bytes, int kilobytes, int megabytes);

// The label text for `size` after the slider `tag` moved: "%d bytes" (bytes slider),
// "%.2f Kb" (size / 1024) or "%.4f Mb" (size / 1048576), always with "." as the decimal
// point. Any other tag gives the bytes text.
QString SizeLabelText(qint64 size, int tag);

// One entry of a quick-pick list: its text and the size it picks in bytes (0 for
// "Custom", which changes nothing).
struct TQuickPick {
    const char* text;
    qint64 bytes;
};

// A size in megabytes converted to bytes with the fraction cut off (1.44 gives 1509949).
constexpr qint64 MegabytesToBytes(double megabytes) {
    return static_cast<qint64>(megabytes * static_cast<double>(kMegabyte));
}

// The progress callback of the file tools: a whole percentage 0..100. Called on the
// thread that runs the action, only when the percentage changed.
using TPercentProgress = std::function<void(int percent)>;

// value rounded to the nearest integer, halves to the even neighbour (12.5 gives 12).
int RoundHalfEven(double value);

// "%d%% Done" for the percentage: "42% Done".
QString PercentDoneText(int percent);
