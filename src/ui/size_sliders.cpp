#include "ui/size_sliders.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

TSizeSliders::TSizeSliders(QSlider* bytes, QSlider* kilobytes, QSlider* megabytes, QLabel* label,
                           QComboBox* quickPick, std::span<const TQuickPick> picks, QObject* parent)
    : QObject(parent),
      m_sliders{bytes, kilobytes, megabytes},
      m_label(label),
      m_quickPick(quickPick),
      m_picks(picks) {
    for (int tag : {kSliderBytes, kSliderKilobytes, kSliderMegabytes}) {
        QSlider* slider = m_sliders[tag];
        slider->setOrientation(Qt::Horizontal);
        slider->setRange(0, kSizeSliderMax);
        slider->setPageStep(kSizeSliderPage);
        slider->setSingleStep(1);
        slider->setTickInterval(kSizeSliderPage);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setProperty("Tag", tag);
        slider->setValue(m_parts.Get(tag));
        connect(slider, &QSlider::valueChanged, this, [this, tag] { SizeChange(tag); });
    }
    m_label->setText(QString::fromLatin1(kInitialSizeLabel));
    for (const TQuickPick& pick : m_picks) {
        m_quickPick->addItem(QString::fromLatin1(pick.text));
    }
    m_quickPick->setCurrentIndex(0);
    connect(m_quickPick, &QComboBox::currentIndexChanged, this,
            [this](int index) { DoQuickPick(index); });
}

QSlider* TSizeSliders::Slider(int tag) const {
    return tag >= kSliderBytes && tag <= kSliderMegabytes ? m_sliders[tag] : nullptr;
}

void TSizeSliders::SizeChange(int tag) {
    const QSlider* slider = Slider(tag);
    if (slider == nullptr) {
        return;
    }
    m_parts.Set(tag, slider->value());
    m_label->setText(SizeLabelText(m_parts.Total(), tag));
    if (!m_settingSizes && m_parts.Total() != m_lastPickSize) {
        m_quickPick->setCurrentIndex(0);
    }
}

void TSizeSliders::DoQuickPick(int index) {
    if (index <= 0 || index >= static_cast<int>(m_picks.size())) {
        return;
    }
    m_settingSizes = true;
    SetSliders(SplitIntoParts(m_picks[index].bytes));
    m_settingSizes = false;
    m_lastPickSize = m_parts.Total();
}

void TSizeSliders::Reset() {
    m_sliders[kSliderBytes]->setValue(0);
    m_sliders[kSliderMegabytes]->setValue(0);
    m_sliders[kSliderKilobytes]->setValue(TSizeParts{}.kilobytes);
    m_quickPick->setCurrentIndex(0);
}

void TSizeSliders::Load(const TSizeParts& parts, int pickIndex) {
    m_settingSizes = true;
    SetSliders(parts);
    m_settingSizes = false;
    // Putting the stored item back is not a pick: the sliders already hold its size.
    const QSignalBlocker blocker(m_quickPick);
    m_quickPick->setCurrentIndex(pickIndex < static_cast<int>(m_picks.size()) ? pickIndex : 0);
}

void TSizeSliders::SetSliders(const TSizeParts& parts) {
    m_sliders[kSliderBytes]->setValue(parts.bytes);
    m_sliders[kSliderKilobytes]->setValue(parts.kilobytes);
    m_sliders[kSliderMegabytes]->setValue(parts.megabytes);
    // A slider already at its position reports no change; the parts follow the sliders.
    m_parts = {m_sliders[kSliderBytes]->value(), m_sliders[kSliderKilobytes]->value(),
               m_sliders[kSliderMegabytes]->value()};
}
