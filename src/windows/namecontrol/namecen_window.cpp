#include "windows/namecontrol/namecen_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/namecontrol/renamer.h"
#include "ui/ell_path.h"
#include "ui/window_parts.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kClientWidth = 301;
constexpr int kClientHeight = 392;
constexpr int kMaskLength = 64;
constexpr int kExtensionLength = 30;
constexpr int kLastCaseIndex = 1;
constexpr int kOptionRowHeight = 20;

const char* const kOptionTexts[] = {"Change Capitalization", "Change Extension", "Recurse",
                                    "Strip Spaces"};

}  // namespace

TfrmNameCen::TfrmNameCen(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    pnlDir = MakePanel(this, "pnlDir");
    lblSource = Named(new QLabel(QStringLiteral("Source Directory"), pnlDir), "lblSource");
    stSource = Named(new TEllPath(pnlDir), "stSource");
    sbnBrowse = MakeBrowseButton(pnlDir, "sbnBrowse");
    auto* dirGrid = new QGridLayout(pnlDir);
    dirGrid->setContentsMargins(6, 4, 6, 4);
    dirGrid->setVerticalSpacing(2);
    dirGrid->addWidget(lblSource, 0, 0, 1, 2);
    dirGrid->addWidget(stSource, 1, 0);
    dirGrid->addWidget(sbnBrowse, 1, 1);

    pnlCase = MakePanel(this, "pnlCase");
    lblMask = Named(new QLabel(QStringLiteral("File Mask"), pnlCase), "lblMask");
    tedMask = Named(new QLineEdit(QStringLiteral("*.*"), pnlCase), "tedMask");
    tedMask->setMaxLength(kMaskLength);
    lblExt = Named(new QLabel(QStringLiteral("New Ext"), pnlCase), "lblExt");
    tedExt = Named(new QLineEdit(pnlCase), "tedExt");
    tedExt->setMaxLength(kExtensionLength);
    lblCaps = Named(new QLabel(QStringLiteral("Capitalization"), pnlCase), "lblCaps");
    cbCase = Named(new QComboBox(pnlCase), "cbCase");
    cbCase->addItems({QStringLiteral(" Lowercase "), QStringLiteral(" Uppercase")});
    clbOptions = Named(new QListWidget(pnlCase), "clbOptions");
    clbOptions->setFlow(QListView::TopToBottom);
    clbOptions->setWrapping(true);
    clbOptions->setResizeMode(QListView::Adjust);
    clbOptions->setSpacing(1);
    clbOptions->setFixedHeight(2 * kOptionRowHeight + 6);
    clbOptions->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (const char* text : kOptionTexts) {
        auto* item = new QListWidgetItem(QString::fromLatin1(text), clbOptions);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    lblChanges = Named(new QLabel(QStringLiteral("Change List"), pnlCase), "lblChanges");
    lvChanges = Named(new QTreeWidget(pnlCase), "lvChanges");
    lvChanges->setHeaderLabels({QStringLiteral("File"), QStringLiteral("New Name"),
                                QStringLiteral("Success"), QStringLiteral("Reason")});
    lvChanges->setRootIsDecorated(false);
    lvChanges->setUniformRowHeights(true);
    lvChanges->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvChanges->header()->setSectionsClickable(true);
    lvChanges->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto* caseGrid = new QGridLayout(pnlCase);
    caseGrid->setContentsMargins(6, 4, 6, 4);
    caseGrid->setVerticalSpacing(2);
    caseGrid->addWidget(lblMask, 0, 0);
    caseGrid->addWidget(lblExt, 0, 1);
    caseGrid->addWidget(tedMask, 1, 0);
    caseGrid->addWidget(tedExt, 1, 1);
    caseGrid->addWidget(lblCaps, 2, 0);
    caseGrid->addWidget(cbCase, 2, 1);
    caseGrid->addWidget(clbOptions, 3, 0, 1, 2);
    caseGrid->addWidget(lblChanges, 4, 0, 1, 2);
    caseGrid->addWidget(lvChanges, 5, 0, 1, 2);

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReset = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReset");
    btnPreview = Named(new QPushButton(QStringLiteral("Preview"), pnlBtns), "btnPreview");
    btnUndo = Named(new QPushButton(QStringLiteral("Undo last"), pnlBtns), "btnUndo");
    btnCCGo = Named(new QPushButton(QStringLiteral("Change"), pnlBtns), "btnCCGo");
    btnClear = Named(new QPushButton(QStringLiteral("Clear"), pnlBtns), "btnClear");
    auto* buttonRow = new QHBoxLayout(pnlBtns);
    buttonRow->setContentsMargins(4, 4, 4, 4);
    buttonRow->setSpacing(2);
    for (QPushButton* button : {btnReset, btnPreview, btnUndo, btnCCGo, btnClear}) {
        button->setMinimumWidth(0);
        buttonRow->addWidget(button);
    }

    layout->addWidget(pnlDir);
    layout->addWidget(pnlCase, 1);
    layout->addWidget(pnlBtns);

    SetHint(sbnBrowse, QStringLiteral("Browse|Select Source Directory"));
    SetHint(stSource, QStringLiteral("|Target files from this directory"));
    SetHint(cbCase, QStringLiteral("|New target name capitalization"));
    SetHint(tedMask, QStringLiteral("|Pattern: filename.ext. Wildcards & Unicode permitted"));
    SetHint(tedExt, QStringLiteral("|New File Extension (Same as old = Don't change)"));
    SetHint(lvChanges, QStringLiteral("|Name change operation results"));
    SetHint(btnReset, QStringLiteral("|Reset to defaults"));
    SetHint(btnCCGo, QStringLiteral("|Change file names now"));
    SetHint(btnClear, QStringLiteral("|Clear Results"));
    SetHint(btnPreview, QStringLiteral("|Show the new names without changing anything"));
    SetHint(btnUndo, QStringLiteral("|Give the files of the last change their old names back"));

    AskFolder = [this] { return PickFolder(QStringLiteral("Select Source Folder"), {}); };

    connect(sbnBrowse, &QToolButton::clicked, this, &TfrmNameCen::DoDestBrowse);
    connect(btnCCGo, &QPushButton::clicked, this, &TfrmNameCen::DoChangeCase);
    connect(btnPreview, &QPushButton::clicked, this, &TfrmNameCen::DoPreview);
    connect(btnUndo, &QPushButton::clicked, this, &TfrmNameCen::DoUndo);
    connect(btnReset, &QPushButton::clicked, this, &TfrmNameCen::DoReset);
    connect(btnClear, &QPushButton::clicked, this, &TfrmNameCen::DoClear);
    connect(lvChanges->header(), &QHeaderView::sectionClicked, this, &TfrmNameCen::WhenCClick);

    stSource->SetCaption(PathSlots[0]);
    SetOptionBits(kNameChangeCase);
}

quint32 TfrmNameCen::OptionBits() const {
    quint32 bits = 0;
    for (int i = 0; i < clbOptions->count(); ++i) {
        if (clbOptions->item(i)->checkState() == Qt::Checked) {
            bits |= 1u << i;
        }
    }
    return bits;
}

void TfrmNameCen::SetOptionBits(quint32 bits) {
    for (int i = 0; i < clbOptions->count(); ++i) {
        clbOptions->item(i)->setCheckState((bits & (1u << i)) != 0 ? Qt::Checked : Qt::Unchecked);
    }
}

TRenameRequest TfrmNameCen::Request() const {
    TRenameRequest request;
    request.folder = PathSlots[0];
    request.mask = tedMask->text();
    request.extension = tedExt->text();
    request.nameCase = cbCase->currentIndex() == 1 ? kCaseUpper : kCaseLower;
    request.options = OptionBits();
    return request;
}

void TfrmNameCen::AddRows(const QList<TRenameRow>& rows) {
    lvChanges->setUpdatesEnabled(false);
    for (const TRenameRow& row : rows) {
        new QTreeWidgetItem(lvChanges,
                            {PrintableName(row.path), PrintableName(NamePart(row.newPath)),
                             RowSuccessText(row), row.reason});
    }
    lvChanges->setUpdatesEnabled(true);
}

void TfrmNameCen::DoDestBrowse() {
    const std::optional<QString> folder = AskFolder ? AskFolder() : std::nullopt;
    if (!folder || folder->isEmpty() || !IsFolder(*folder)) {
        return;
    }
    PathSlots[0] = *folder;
    stSource->SetCaption(PathSlots[0]);
}

void TfrmNameCen::Run(bool preview) {
    const TRenameRequest request = Request();
    lvChanges->clear();
    try {
        CheckRenameRequest(request);
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
        return;
    }
    lvChanges->clear();
    Panel()->BeginBusy(QString::fromUtf8(kRenamingText), kBusyHold, kStatusInfo);
    QList<TRenamed> renamed;
    try {
        const int count = RunRenamer(
            request, preview, [this](const QList<TRenameRow>& rows) { AddRows(rows); },
            preview ? nullptr : &renamed);
        if (!preview) {
            LastRenameBatch() = renamed;
        }
        Panel()->EndBusy(QString::fromUtf8(preview ? kPreviewedText : kRenamedText).arg(count),
                         kBusyFade, kStatusCompletion);
    } catch (const EQuiva& error) {
        if (!preview) {
            LastRenameBatch() = renamed;  // what was renamed before the failure can go back
        }
        EndWithError(error.Message());
    }
}

void TfrmNameCen::DoChangeCase() {
    Run(false);
}

void TfrmNameCen::DoPreview() {
    Run(true);
}

void TfrmNameCen::DoUndo() {
    if (LastRenameBatch().isEmpty()) {
        Host().ShowStatus(QString::fromUtf8(kNothingToUndoMessage), false, kStatusError);
        return;
    }
    lvChanges->clear();
    Panel()->BeginBusy(QString::fromUtf8(kRenamingText), kBusyHold, kStatusInfo);
    int restored = 0;
    const QList<TRenameRow> rows = UndoRenames(LastRenameBatch(), restored);
    LastRenameBatch().clear();
    AddRows(rows);
    Panel()->EndBusy(QString::fromUtf8(kUndoneText).arg(restored), kBusyFade, kStatusCompletion);
}

void TfrmNameCen::DoReset() {
    PathSlots[0] = WindowsFolder();
    stSource->SetCaption(PathSlots[0]);
    tedMask->setText(QStringLiteral("*.*"));
    tedExt->clear();
    cbCase->setCurrentIndex(0);
    lvChanges->clear();
    SetOptionBits(0);
    SetOptionBits(kNameChangeCase);
}

void TfrmNameCen::DoClear() {
    lvChanges->clear();
}

void TfrmNameCen::WhenCClick(int column) {
    if (column == m_sortColumn) {
        m_sortReverse = !m_sortReverse;
    } else {
        m_sortColumn = column;
    }
    QList<QTreeWidgetItem*> rows;
    while (lvChanges->topLevelItemCount() > 0) {
        rows.append(lvChanges->takeTopLevelItem(0));
    }
    const bool reverse = m_sortReverse;
    std::stable_sort(rows.begin(), rows.end(), [&](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        const int order = QString::localeAwareCompare(a->text(column), b->text(column));
        return reverse ? order > 0 : order < 0;
    });
    lvChanges->addTopLevelItems(rows);
}

void TfrmNameCen::SaveSettings() {
    TNameSettings settings;
    settings.folder = PathSlots[0];
    settings.mask = tedMask->text();
    settings.extension = tedExt->text();
    settings.caseIndex = cbCase->currentIndex();
    settings.options = OptionBits();
    SaveFields(kNameSettingsKey, NameSettingsFields(settings));
}

void TfrmNameCen::LoadSettings() {
    const std::optional<TBarList> fields = LoadFields(kNameSettingsKey, kNameSettingsFields);
    if (!fields) {
        return;
    }
    m_loading = true;
    const TNameSettings settings = ParseNameSettings(*fields, kLastCaseIndex);
    if (!settings.folder.isEmpty()) {
        PathSlots[0] = settings.folder;
    }
    stSource->SetCaption(PathSlots[0]);
    tedMask->setText(settings.mask);
    tedExt->setText(settings.extension);
    cbCase->setCurrentIndex(settings.caseIndex);
    SetOptionBits(settings.options);
    m_loading = false;
}
