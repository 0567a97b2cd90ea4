// The Splice window: an ordered list of source files, a destination file, and the
// splicer that joins the sources into it.
#pragma once

#include "ui/form_base.h"

#include <QStringList>

#include <functional>

class QCheckBox;
class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QToolButton;
class TEllPath;

// Thread safety: main thread only.
class TfrmSplice : public TFormBase {
    Q_OBJECT
public:
    // Builds the controls at their defaults: an empty list, no destination, both boxes
    // unchecked, only the add button of the list enabled.
    TfrmSplice(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;

    // ---- handlers ----------------------------------------------------------------------
    // The list buttons follow the selected row: up when it has a row above, down when it
    // has one below, remove when a row is selected.
    void WhenSourceSelect();
    // Asks for source files and appends them (a path already listed only with
    // "Multiples" on); the last one's folder is where the next dialog starts.
    void DoAdd();
    // Deletes the selected row; nothing is selected afterwards.
    void DoRemove();
    // Moves the selected row one up (direction -1) or down (+1), keeping it selected.
    void DoReOrder(int direction);
    // "Multiples" turned off: later repeats of a path leave the list.
    void DoMultiBlock();
    // Asks for the destination file.
    void DoBrowse();
    // Empties the list and the destination; the boxes stay.
    void DoReset();
    // Checks the inputs (a refusal stays in the status panel), then joins the sources
    // inside the busy state, showing each source's path once it is copied.
    void DoConcat();

    // The list's rows, in order.
    QStringList Sources() const;
    // The selected row, or -1.
    int SelectedRow() const;

    // The dialogs, replaceable so that tests answer them: the chosen files (none when
    // cancelled) and the chosen destination (empty when cancelled).
    std::function<QStringList()> AskSourceFiles;
    std::function<QString()> AskDestFile;

    QFrame* pnlSources = nullptr;
    QLabel* lblSources = nullptr;
    QListWidget* lbSources = nullptr;
    QFrame* pnlBtnA = nullptr;
    QToolButton* sbnMoveUp = nullptr;
    QToolButton* sbnMoveDown = nullptr;
    QToolButton* sbnRemove = nullptr;
    QToolButton* sbnAdd = nullptr;
    QCheckBox* cbxMulti = nullptr;
    QFrame* pnlDest = nullptr;
    QLabel* lblDest = nullptr;
    QPushButton* bbnBrowse = nullptr;
    TEllPath* stDest = nullptr;
    QCheckBox* cbxOverwrite = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnConcat = nullptr;

private:
    // Shows the rows with `selected` selected (-1: none) and updates the list buttons.
    void SetSources(const QStringList& rows, int selected);
    void ShowDestination(const QString& path);
};
