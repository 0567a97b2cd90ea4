// The Fill window: a destination file, a size from the three sliders, and a pattern (a
// repeating hexadecimal sequence, random bytes from a range, or the 256 byte values);
// the filler writes the file.
#pragma once

#include "ui/form_base.h"

#include <functional>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class TEllPath;
class TSizeSliders;

// Thread safety: main thread only.
class TfrmFill : public TFormBase {
    Q_OBJECT
public:
    // Builds the controls at their defaults: no destination, 128 Kb, the sequence
    // "CAFEBABE", the range 00 to FF.
    TfrmFill(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;

    // ---- handlers ----------------------------------------------------------------------
    // Asks for the destination file; its folder is where the next dialog starts.
    void DoBrowse();
    // A size slider moved (tag: TSizeSlider).
    void SizeChange(int tag);
    // A quick-pick item was chosen.
    void DoQuickPick(int index);
    // The pattern changed: the range shows for "Random Range", the sequence is editable
    // for "Repeating Hexadecimal Sequence".
    void PatChange();
    // Every input back to its default.
    void DoReset();
    // Checks the inputs (a refusal stays in the status panel), then writes the file
    // inside the busy state, showing "%d%% Done" as it goes.
    void DoFill();

    qint64 FileSize() const;

    // The save dialog, replaceable so that tests answer it: the chosen path, or empty
    // when cancelled.
    std::function<QString()> AskDestFile;
    // How long the notice before an all-bytes fill stays before the fill starts.
    int NoticePauseMs = 1000;

    QFrame* pnlDest = nullptr;
    QLabel* lblDest = nullptr;
    TEllPath* stDest = nullptr;
    QPushButton* bbnBrowse = nullptr;
    QCheckBox* cbxOverwrite = nullptr;
    QFrame* pnlSize = nullptr;
    QLabel* lblFileSize = nullptr;
    QLabel* lblSize = nullptr;
    QSlider* tbB = nullptr;
    QSlider* tbKb = nullptr;
    QSlider* tbMb = nullptr;
    QLabel* lblCommon = nullptr;
    QComboBox* cbCommon = nullptr;
    QFrame* pnlPattern = nullptr;
    QComboBox* cbPattern = nullptr;
    QLineEdit* edtSeq = nullptr;
    QFrame* pnlRange = nullptr;
    QLabel* lblFrom = nullptr;
    QLabel* lblTo = nullptr;
    QLineEdit* edtFrom = nullptr;
    QLineEdit* edtTo = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnFill = nullptr;

private:
    void ShowDestination(const QString& path);

    TSizeSliders* m_sizes = nullptr;
};
