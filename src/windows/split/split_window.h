// The Split window: picks a source file, a destination folder, a piece size and a piece
// count limit, and cuts the file into numbered pieces with the splitter.
#pragma once

#include "ui/form_base.h"

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QSlider;
class QToolButton;
class TEllPath;
class TSizeSliders;

// Thread safety: main thread only.
class TfrmSplit : public TFormBase {
    Q_OBJECT
public:
    // Builds the controls at their defaults: no source, the home folder as destination,
    // 128 Kb pieces, at most 16 of them.
    TfrmSplit(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;

    // ---- handlers ----------------------------------------------------------------------
    // Asks for the source file; a chosen file becomes the source and its folder the
    // folder the next dialog starts in.
    void DoSourceBrowse();
    // Asks for the destination folder; an existing one becomes the destination.
    void DoDestBrowse();
    // A size slider moved (tag: TSizeSlider).
    void SizeChange(int tag);
    // The count slider moved.
    void CountChange();
    // A quick-pick item was chosen.
    void DoQuickPick(int index);
    // Every input back to its default.
    void DoReset();
    // Cuts the source into pieces inside the busy state, showing "%d%% Done" after each;
    // a refusal or failure stays in the status panel as an error.
    void DoSplit();

    qint64 PieceSize() const;
    int MaxCount() const { return m_maxCount; }

    // The dialogs, replaceable so that tests answer them: the chosen file (empty when
    // cancelled) and the chosen folder (none when cancelled).
    std::function<QString()> AskSourceFile;
    std::function<std::optional<QString>()> AskDestFolder;

    QFrame* pnlSource = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* stSource = nullptr;
    QToolButton* sbnSBrowse = nullptr;
    QLabel* lblDest = nullptr;
    TEllPath* stDest = nullptr;
    QToolButton* sbnDBrowse = nullptr;
    QCheckBox* cbxOverwrite = nullptr;
    // "Write checksum list": the split also writes NAME.sha256 beside the pieces.
    QCheckBox* cbxChecksumList = nullptr;
    QFrame* pnlOptions = nullptr;
    QLabel* lblMaxSize = nullptr;
    QLabel* lblSize = nullptr;
    QSlider* tbB = nullptr;
    QSlider* tbKb = nullptr;
    QSlider* tbMb = nullptr;
    QLabel* lblCommon = nullptr;
    QComboBox* cbCommon = nullptr;
    QFrame* pnlCount = nullptr;
    QLabel* lblMaxCount = nullptr;
    QLabel* lblCount = nullptr;
    QSlider* tbCount = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnSplit = nullptr;

private:
    void ShowSource(const QString& path);

    TSizeSliders* m_sizes = nullptr;
    int m_maxCount = 0;
};
