#include "windows/splice/splice_window.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/splice/splicer.h"
#include "ui/ell_path.h"
#include "ui/file_dialogs.h"
#include "ui/file_tool_panels.h"
#include "ui/window_parts.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <optional>

namespace {

constexpr int kClientWidth = 209;
constexpr int kClientHeight = 338;

// A flat list button showing the style's icon, or the text where the style has none.
QToolButton* MakeListButton(QWidget* parent, const char* name, const QString& text,
                            std::optional<QStyle::StandardPixmap> icon) {
    auto* button = Named(new QToolButton(parent), name);
    button->setAutoRaise(true);
    button->setText(text);
    if (icon) {
        button->setIcon(button->style()->standardIcon(*icon));
    }
    return button;
}

}  // namespace

TfrmSplice::TfrmSplice(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    pnlSources = MakePanel(this, "pnlSources");
    lblSources = Named(new QLabel(QStringLiteral("Source Files"), pnlSources), "lblSources");
    lbSources = Named(new QListWidget(pnlSources), "lbSources");
    lbSources->setSelectionMode(QAbstractItemView::SingleSelection);
    lbSources->setTextElideMode(Qt::ElideMiddle);
    pnlBtnA = MakePanel(pnlSources, "pnlBtnA");
    pnlBtnA->setFrameStyle(QFrame::NoFrame);
    sbnMoveUp = MakeListButton(pnlBtnA, "sbnMoveUp", QStringLiteral("\u2191"), QStyle::SP_ArrowUp);
    sbnMoveDown =
        MakeListButton(pnlBtnA, "sbnMoveDown", QStringLiteral("\u2193"), QStyle::SP_ArrowDown);
    sbnRemove = MakeListButton(pnlBtnA, "sbnRemove", QStringLiteral("\u2212"), std::nullopt);
    sbnAdd = MakeListButton(pnlBtnA, "sbnAdd", QStringLiteral("+"), std::nullopt);
    cbxMulti = Named(new QCheckBox(QStringLiteral("Multiples"), pnlBtnA), "cbxMulti");
    auto* buttonRow = new QHBoxLayout(pnlBtnA);
    buttonRow->setContentsMargins(0, 0, 0, 0);
    buttonRow->setSpacing(2);
    buttonRow->addWidget(sbnMoveUp);
    buttonRow->addWidget(sbnMoveDown);
    buttonRow->addWidget(sbnRemove);
    buttonRow->addWidget(sbnAdd);
    buttonRow->addStretch();
    buttonRow->addWidget(cbxMulti);
    auto* sourcesColumn = new QVBoxLayout(pnlSources);
    sourcesColumn->setContentsMargins(6, 4, 6, 4);
    sourcesColumn->setSpacing(2);
    sourcesColumn->addWidget(lblSources);
    sourcesColumn->addWidget(lbSources, 1);
    sourcesColumn->addWidget(pnlBtnA);

    const TDestinationPanel dest = MakeDestinationPanel(
        this, QStringLiteral("Overwrite Destination"), QStringLiteral("Browse"));
    pnlDest = dest.panel;
    lblDest = dest.label;
    stDest = dest.path;
    bbnBrowse = dest.browse;
    cbxOverwrite = dest.overwrite;

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReset = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReset");
    btnConcat = Named(new QPushButton(QStringLiteral("Splice"), pnlBtns), "btnConcat");
    auto* bottomRow = new QHBoxLayout(pnlBtns);
    bottomRow->setContentsMargins(6, 4, 6, 4);
    bottomRow->addWidget(btnReset);
    bottomRow->addStretch();
    bottomRow->addWidget(btnConcat);

    layout->addWidget(pnlSources, 1);
    layout->addWidget(pnlDest);
    layout->addWidget(pnlBtns);

    SetHint(lbSources, QStringLiteral("Add source files|Use the Add, Remove & Reorder Buttons"));
    SetHint(sbnMoveUp, QStringLiteral("Move Up"));
    SetHint(sbnMoveDown, QStringLiteral("Move Down"));
    SetHint(sbnRemove, QStringLiteral("Remove"));
    SetHint(sbnAdd, QStringLiteral("Add|Use Shift/Ctrl keys to select multiple files"));
    SetHint(cbxMulti, QStringLiteral("Allow multiple instances of the same source file"));
    SetHint(btnReset, QStringLiteral("Clear Entries"));
    SetHint(btnConcat, QStringLiteral("Splice|Use the arrow buttons to change file order"));

    WhenSourceSelect();

    AskSourceFiles = [this] {
        return AskOpenFiles(this, QStringLiteral("Select Source File(s)"), PathSlots[0]);
    };
    AskDestFile = [this] {
        return AskSaveFile(this, QStringLiteral("Select Destination File"), PathSlots[1]);
    };

    connect(lbSources, &QListWidget::itemSelectionChanged, this, &TfrmSplice::WhenSourceSelect);
    connect(sbnMoveUp, &QToolButton::clicked, this, [this] { DoReOrder(-1); });
    connect(sbnMoveDown, &QToolButton::clicked, this, [this] { DoReOrder(1); });
    connect(sbnRemove, &QToolButton::clicked, this, &TfrmSplice::DoRemove);
    connect(sbnAdd, &QToolButton::clicked, this, &TfrmSplice::DoAdd);
    connect(cbxMulti, &QCheckBox::toggled, this, &TfrmSplice::DoMultiBlock);
    connect(bbnBrowse, &QPushButton::clicked, this, &TfrmSplice::DoBrowse);
    connect(btnReset, &QPushButton::clicked, this, &TfrmSplice::DoReset);
    connect(btnConcat, &QPushButton::clicked, this, &TfrmSplice::DoConcat);
}

QStringList TfrmSplice::Sources() const {
    QStringList rows;
    rows.reserve(lbSources->count());
    for (int row = 0; row < lbSources->count(); ++row) {
        rows.append(lbSources->item(row)->text());
    }
    return rows;
}

int TfrmSplice::SelectedRow() const {
    const QList<QListWidgetItem*> selected = lbSources->selectedItems();
    return selected.isEmpty() ? -1 : lbSources->row(selected.first());
}

void TfrmSplice::SetSources(const QStringList& rows, int selected) {
    {
        const QSignalBlocker blocker(lbSources);
        lbSources->clear();
        lbSources->addItems(rows);
        if (selected >= 0 && selected < rows.size()) {
            lbSources->setCurrentRow(selected);
        } else {
            lbSources->setCurrentRow(-1);
            lbSources->clearSelection();
        }
    }
    WhenSourceSelect();
}

void TfrmSplice::ShowDestination(const QString& path) {
    PathSlots[3] = path;
    stDest->SetCaption(path);
}

void TfrmSplice::WhenSourceSelect() {
    const TListButtons buttons = ListButtons(SelectedRow(), lbSources->count());
    sbnMoveUp->setEnabled(buttons.moveUp);
    sbnMoveDown->setEnabled(buttons.moveDown);
    sbnRemove->setEnabled(buttons.remove);
}

void TfrmSplice::DoAdd() {
    const QStringList chosen = AskSourceFiles ? AskSourceFiles() : QStringList();
    if (chosen.isEmpty()) {
        return;
    }
    QStringList rows = Sources();
    QString refused;
    for (const QString& path : chosen) {
        // A FIFO, socket or device cannot be read as a source: it is not listed, and said.
        if (!IsRegularFile(path)) {
            if (refused.isEmpty()) {
                refused = path;
            }
            continue;
        }
        AddSource(rows, path, cbxMulti->isChecked());
    }
    SetSources(rows, SelectedRow());
    if (!refused.isEmpty()) {
        ShowStickyError(QString::fromUtf8(kSpliceAccessMessage).arg(PrintableName(refused)));
    }
    PathSlots[0] = FolderPart(chosen.last());
}

void TfrmSplice::DoRemove() {
    const int row = SelectedRow();
    if (row < 0) {
        return;
    }
    QStringList rows = Sources();
    rows.removeAt(row);
    SetSources(rows, -1);
}

void TfrmSplice::DoReOrder(int direction) {
    QStringList rows = Sources();
    const int row = MoveRow(rows, SelectedRow(), direction);
    SetSources(rows, row);
}

void TfrmSplice::DoMultiBlock() {
    if (cbxMulti->isChecked()) {
        return;
    }
    SetSources(WithoutDuplicates(Sources()), -1);
}

void TfrmSplice::DoBrowse() {
    const QString path = AskDestFile ? AskDestFile() : QString();
    if (path.isEmpty()) {
        return;
    }
    ShowDestination(path);
    PathSlots[1] = FolderPart(path);
    IncludeTrailingBackslash(PathSlots[1]);
}

void TfrmSplice::DoReset() {
    SetSources({}, -1);
    ShowDestination(QString());
    PathSlots[0] = WindowsFolder();
}

void TfrmSplice::DoConcat() {
    const QString destination = PathSlots[3];
    const QStringList sources = Sources();
    const bool overwrite = cbxOverwrite->isChecked();
    try {
        CheckSplice(destination, sources, overwrite);
    } catch (const EQuiva& error) {
        ShowStickyError(error.Message());
        return;
    }

    RunBusy(QString::fromLatin1(kSplicingText), QString::fromLatin1(kSplicingCompleteText), [&] {
        Splice(
            destination, sources, overwrite,
            [this](const QString& source) { ShowProgress(PrintableName(source)); },
            [this](const QString& piece) {
                ShowProgress(QString::fromUtf8(kSplicePieceCheckedText).arg(PrintableName(piece)));
            });
    });
}

void TfrmSplice::SaveSettings() {
    TSpliceSettings settings;
    settings.sourceFolder = PathSlots[0];
    settings.destFolder = PathSlots[1];
    settings.sources = Sources();
    settings.destination = PathSlots[3];
    settings.multiples = cbxMulti->isChecked();
    settings.overwrite = cbxOverwrite->isChecked();
    SaveSpliceSettings(Stores(), settings);
}

void TfrmSplice::LoadSettings() {
    const std::optional<TSpliceSettings> settings = LoadSpliceSettings(Stores());
    if (!settings) {
        return;
    }
    m_loading = true;
    if (!settings->sourceFolder.isEmpty()) {
        PathSlots[0] = settings->sourceFolder;
    }
    if (!settings->destFolder.isEmpty()) {
        PathSlots[1] = settings->destFolder;
    }
    // The box first: with multiples off the stored list is taken as it was saved.
    {
        const QSignalBlocker blocker(cbxMulti);
        cbxMulti->setChecked(settings->multiples);
    }
    SetSources(settings->sources, -1);
    cbxOverwrite->setChecked(settings->overwrite);
    ShowDestination(settings->destination);
    m_loading = false;
}
