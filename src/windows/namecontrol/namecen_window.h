// The Name Control window: picks a folder, a mask and what to change in the names (case,
// extension, spaces, recursion), renames the matching files and lists each with its new
// name and result; previews a run and undoes the last one.
#pragma once

#include "ui/form_base.h"

#include <functional>
#include <optional>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;
class QTreeWidget;
class TEllPath;
struct TRenameRequest;
struct TRenameRow;

// Thread safety: main thread only.
class TfrmNameCen : public TFormBase {
    Q_OBJECT
public:
    // Column indexes of the result list.
    enum TColumn : int { kColFile = 0, kColNewName = 1, kColSuccess = 2, kColReason = 3 };

    TfrmNameCen(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;

    // ---- handlers ----------------------------------------------------------------------
    void DoDestBrowse();
    // Checks the inputs and renames, one row per file; the count in the status bar.
    void DoChangeCase();
    // Lists what each file would become, renaming nothing.
    void DoPreview();
    // Renames the last batch of this program run back.
    void DoUndo();
    void DoReset();
    void DoClear();
    // Sorts the list by the column: the column sorted last flips the order.
    void WhenCClick(int column);

    // The option bits from the check list, and into it.
    quint32 OptionBits() const;
    void SetOptionBits(quint32 bits);

    // The folder dialog, replaceable so that tests answer it (none when cancelled).
    std::function<std::optional<QString>()> AskFolder;

    QFrame* pnlDir = nullptr;
    QLabel* lblSource = nullptr;
    TEllPath* stSource = nullptr;
    QToolButton* sbnBrowse = nullptr;
    QFrame* pnlCase = nullptr;
    QLabel* lblMask = nullptr;
    QLineEdit* tedMask = nullptr;
    QLabel* lblExt = nullptr;
    QLineEdit* tedExt = nullptr;
    QLabel* lblCaps = nullptr;
    QComboBox* cbCase = nullptr;
    QListWidget* clbOptions = nullptr;
    QLabel* lblChanges = nullptr;
    QTreeWidget* lvChanges = nullptr;
    QFrame* pnlBtns = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnCCGo = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnPreview = nullptr;
    QPushButton* btnUndo = nullptr;

private:
    TRenameRequest Request() const;
    void AddRows(const QList<TRenameRow>& rows);
    void Run(bool preview);

    int m_sortColumn = -1;
    bool m_sortReverse = true;
};
