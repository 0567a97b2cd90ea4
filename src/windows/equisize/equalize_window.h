// The EquiSize window: two files and a route (zero bytes in front of or behind the
// smaller, or the bigger cut down); the equalizer rewrites one of them.
#pragma once

#include "ui/form_base.h"

#include <QGroupBox>

#include <array>
#include <functional>

class QButtonGroup;
class QFrame;
class QLabel;
class QPushButton;
class QRadioButton;
class QToolButton;
class TEllPath;

// A group of radio buttons addressed by item index, like a radio group box.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QStringList& items, QWidget* parent = nullptr);
    // The checked item, or -1.
    int ItemIndex() const;
    // Checks item `index`; an index outside the items unchecks all.
    void SetItemIndex(int index);
    QRadioButton* Item(int index) const;

private:
    QButtonGroup* m_group;
};

// Thread safety: main thread only.
class TfrmEqualizer : public TFormBase {
    Q_OBJECT
public:
    // Builds the controls at their defaults: no files, route "Postfix smaller".
    TfrmEqualizer(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;

    // ---- handlers ----------------------------------------------------------------------
    // Asks for file `index` (0 A, 1 B) and shows it with its size; for A its folder is
    // where both dialogs start next.
    void DoBrowse(int index);
    // Both files cleared, the route back to "Postfix smaller".
    void DoReset();
    // Checks the files (a refusal or "same size" shows in the status panel), then
    // rewrites the target inside the busy state.
    void DoEqualize();

    // The file of index 0 (A) or 1 (B), and its size as last measured.
    const QString& File(int index) const { return m_files[index]; }
    qint64 RecordedSize(int index) const { return m_sizes[index]; }

    // The open dialog, replaceable so that tests answer it: the chosen file for index 0
    // or 1, or empty when cancelled.
    std::function<QString(int index)> AskFile;

    QFrame* pnlFiles = nullptr;
    QLabel* lblSrcA = nullptr;
    TEllPath* stSrcA = nullptr;
    QToolButton* sbnSrcA = nullptr;
    QLabel* lblSizeA = nullptr;
    QLabel* lblSrcB = nullptr;
    TEllPath* stSrcB = nullptr;
    QToolButton* sbnSrcB = nullptr;
    QLabel* lblSizeB = nullptr;
    TRadioGroup* rgRoute = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnEqualize = nullptr;

private:
    // Takes file `index` with its size and size label text.
    void SetFile(int index, const QString& path, qint64 size, const QString& label);
    TEllPath* PathPanel(int index) const { return index == 0 ? stSrcA : stSrcB; }
    QLabel* SizeLabel(int index) const { return index == 0 ? lblSizeA : lblSizeB; }

    std::array<QString, 2> m_files;
    std::array<qint64, 2> m_sizes{};
};
