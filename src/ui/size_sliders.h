// The three size sliders of the Split and Fill windows (bytes, kilobytes, megabytes) with
// their size label and quick-pick list: the label follows the slider that moved, and a
// size that no longer matches the last quick pick puts the list back on "Custom".
#pragma once

#include "tools/common/size_parts.h"

#include <QObject>

#include <span>

class QComboBox;
class QLabel;
class QSlider;

// Thread safety: main thread only, like the controls it drives.
class TSizeSliders : public QObject {
public:
    // Sets up the window's controls: each slider 0..1023 with page and ticks 128 at the
    // default parts (128 Kb), the label "128 Kb", the list filled from `picks` ("Custom"
    // first) on item 0; and connects their changes. The controls stay the window's.
    TSizeSliders(QSlider* bytes, QSlider* kilobytes, QSlider* megabytes, QLabel* label,
                 QComboBox* quickPick, std::span<const TQuickPick> picks, QObject* parent);

    const TSizeParts& Parts() const { return m_parts; }
    qint64 Size() const { return m_parts.Total(); }
    QSlider* Slider(int tag) const;

    // The slider `tag` (TSizeSlider) moved: takes its part, shows the whole size in that
    // slider's unit, and returns the list to "Custom" when the size differs from the last
    // quick pick (not while a pick or a load moves the sliders).
    void SizeChange(int tag);
    // The list item `index` was picked: the sliders take its size, set in the order
    // bytes, kilobytes, megabytes. "Custom" (and no item) changes nothing.
    void DoQuickPick(int index);
    // Sliders back to 128 Kb (set in the order bytes 0, megabytes 0, kilobytes 128) and
    // the list to "Custom".
    void Reset();
    // Stored parts and list index put back (the list may show no item for -1); the list
    // is not returned to "Custom" by it.
    void Load(const TSizeParts& parts, int pickIndex);

private:
    void SetSliders(const TSizeParts& parts);

    QSlider* m_sliders[3];
    QLabel* m_label;
    QComboBox* m_quickPick;
    std::span<const TQuickPick> m_picks;
    TSizeParts m_parts;
    qint64 m_lastPickSize = 0;
    bool m_settingSizes = false;
};
