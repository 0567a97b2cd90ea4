// The HexEdit window: a file shown as rows of 16 bytes (offset, hexadecimal bytes, text),
// one page of 16 rows at a time, with an inspector of the bytes at the cursor, editing in
// hexadecimal or as characters, insertion and deletion of runs of bytes, and Save. The work
// is THexDocument's; the window draws the grids and calls it.
#pragma once

#include "tools/hexedit/hex_document.h"
#include "ui/form_base.h"
#include "ui/hex_view_parts.h"

#include <functional>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class TByteGrid;
class TDrawGrid;
class TEllPath;
class TQuickButton;

// Thread safety: main thread only.
class TfrmHex : public TFormBase {
    Q_OBJECT
public:
    TfrmHex(QWidget* panel, const TToolContext& context);
    ~TfrmHex() override;

    void LoadSettings() override;
    void SaveSettings() override;
    void PeriodicCheck() override;
    void WheelStep(bool forward, const QPoint& position) override;
    // With unsaved edits, asks "Save changes to NAME?": Save saves (false when that is
    // cancelled or fails), Discard lets go, Cancel keeps everything.
    bool CanLeave() override;

    // ---- handlers ----------------------------------------------------------------------
    void DoBrowse();
    void DoRefresh();
    // True when the file was saved.
    bool DoSave();
    void DoAdd();
    void DoDelete();
    void DoReSet();
    // Moves the top row by a scroll button's tag; Home and End go to the first and the
    // last top row.
    void WhenScroll(int tag);
    void WhenHomeEnd(int tag);
    // Loads the source path (also what the posted load after LoadSettings runs).
    void Load();
    // Commits the byte editor's (0) or the text editor's (1) text.
    void Commit(int which);
    // A cursor key over the byte grid (or the text grid): moves the selection and the page.
    void Navigate(int key, Qt::KeyboardModifiers modifiers, bool text);

    const THexDocument& Document() const { return m_doc; }
    // The inspector rows as last computed.
    const TInspectorRows& Values() const { return m_values; }

    // The file dialogs, replaceable so that tests answer them; empty when cancelled.
    std::function<QString()> AskSourceFile;
    std::function<QString()> AskSaveFile;
    // "Save changes to NAME?", and whether to overwrite a file another program replaced;
    // replaceable so that tests answer them.
    std::function<TUnsavedAnswer(const QString& name)> AskUnsaved;
    std::function<bool(const QString& name)> AskReplaceChanged;

    QFrame* pnlFile = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* stSource = nullptr;
    TQuickButton* sbnSBrowse = nullptr;
    QLabel* lblSize = nullptr;
    QFrame* pnlMain = nullptr;
    TScrollButtons scroll;
    TQuickButton* sbnHome = nullptr;
    TQuickButton* sbnPgUp = nullptr;
    TQuickButton* sbnLineUp = nullptr;
    TQuickButton* sbnLineDn = nullptr;
    TQuickButton* sbnPgDn = nullptr;
    TQuickButton* sbnEnd = nullptr;
    QFrame* pnlData = nullptr;
    TDrawGrid* dgHead = nullptr;
    TDrawGrid* dgOff = nullptr;
    TByteGrid* dgData = nullptr;
    QLineEdit* edtData = nullptr;
    TByteGrid* dgText = nullptr;
    QLineEdit* edtText = nullptr;
    QFrame* bvlOne = nullptr;
    QFrame* bvlTwo = nullptr;
    QFrame* bvlThree = nullptr;
    QFrame* pnlInfo = nullptr;
    QLabel* lblInter = nullptr;
    QComboBox* cbInter = nullptr;
    TDrawGrid* dgInfo = nullptr;
    QCheckBox* cbxBigEnd = nullptr;
    QLabel* lblNBytes = nullptr;
    QSlider* tbNBytes = nullptr;
    QLabel* lblVByte = nullptr;
    QSlider* tbVByte = nullptr;
    QPushButton* btnDelete = nullptr;
    QPushButton* btnAdd = nullptr;
    QPushButton* btnRefresh = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnClear = nullptr;

private:
    bool DataSelect(int column, int row);
    bool TextSelect(int column, int row);
    bool InfoSelect(int column, int row);
    void HeadDraw(QPainter& painter, const QRect& cell, int column);
    void OffDraw(QPainter& painter, const QRect& cell, int row);
    void DataDraw(QPainter& painter, const QRect& cell, int column, int row);
    void TextDraw(QPainter& painter, const QRect& cell, int column, int row);
    void InfoDraw(QPainter& painter, const QRect& cell, int column, int row);
    void InterSelect();
    void NBChange();
    void VBChange();

    void ShowPage(qint64 topRow);
    // Asks about unsaved edits as CanLeave does; true when they may go.
    bool ResolveUnsaved();
    void HideEditors();
    void UpdateScrollButtons();
    void UpdateFileButtons();
    void ComputeValues();
    void RepaintGrids();
    void ShowSource(const QString& path);
    // BeginBusy / EndBusy through the panel, when there is one.
    void Busy(const char* text);
    void Unbusy();

    THexDocument m_doc;
    TInspectorRows m_values;
    bool m_followUp = false;
};
