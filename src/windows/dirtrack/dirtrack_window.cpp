#include "windows/dirtrack/dirtrack_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/dirtrack/track_help.h"
#include "ui/ell_path.h"
#include "ui/window_parts.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kClientWidth = 592;
constexpr int kClientHeight = 548;
constexpr int kTrackingCheckMs = 300;
constexpr int kGridRows = 14;
constexpr int kGridRowHeight = 21;
constexpr int kFirstDateRow = 2;
constexpr int kLastDateRow = 4;
constexpr int kFirstFlagRow = 5;
constexpr int kNameRole = Qt::UserRole;
constexpr int kHeaderGrey = 240;  // RGB(240, 240, 240)
constexpr qint64 kMsPerDay = 86400000;

const char* const kGridLabels[kGridRows] = {
    "Property",  "Size",   "Created", "Accessed", "Modified",  "Archived", "Compressed",
    "Directory", "Hidden", "Normal",  "Offline",  "Read Only", "System",   "Temporary"};

// The sort state of each list (by its tag), kept for the program's run.
struct TDirSort {
    int column = 0;
    bool reverse = false;
};
std::array<TDirSort, 2>& DirSortStates() {
    static std::array<TDirSort, 2> states;
    return states;
}

QTreeWidget* MakeReportList(QWidget* parent, const char* name, const QStringList& columns,
                            int tag) {
    auto* list = Named(new QTreeWidget(parent), name);
    list->setColumnCount(static_cast<int>(columns.size()));
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->header()->setSectionsClickable(true);
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->setProperty("Tag", tag);
    return list;
}

QString ShortDate(const TFileTime& time) {
    return QDateTime::fromSecsSinceEpoch(time.seconds)
        .toLocalTime()
        .toString(QStringLiteral("yy/MM/dd HH:mm:ss"));
}

QString LongDateOf(const TFileTime& time) {
    const QDateTime moment = QDateTime::fromSecsSinceEpoch(time.seconds).toLocalTime();
    QString text = moment.toString(QStringLiteral("dddd, MMMM yyyy HH:mm:ss"));
    const qint64 age = moment.msecsTo(QDateTime::currentDateTime());
    if (age >= 0 && age < kMsPerDay) {
        text += QStringLiteral("  [Today]");
    }
    return text;
}

}  // namespace

TfrmDirTrack::TfrmDirTrack(QWidget* panel, const TToolContext& context)
    : TFormBase(panel, context), m_help(context.tracking) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    pnlDir = MakePanel(this, "pnlDir");
    lblSource = Named(new QLabel(QStringLiteral("Target Directory"), pnlDir), "lblSource");
    stSource = Named(new TEllPath(pnlDir), "stSource");
    sbnBrowse = MakeBrowseButton(pnlDir, "sbnBrowse");
    gbTrack = Named(new QGroupBox(QStringLiteral("Track These"), pnlDir), "gbTrack");
    cbxAdds = Named(new QCheckBox(QStringLiteral("Additions"), gbTrack), "cbxAdds");
    cbxRems = Named(new QCheckBox(QStringLiteral("Deletions"), gbTrack), "cbxRems");
    cbxNames = Named(new QCheckBox(QStringLiteral("Name Changes"), gbTrack), "cbxNames");
    cbxProps = Named(new QCheckBox(QStringLiteral("Property Changes"), gbTrack), "cbxProps");
    auto* trackGrid = new QGridLayout(gbTrack);
    trackGrid->addWidget(cbxAdds, 0, 0);
    trackGrid->addWidget(cbxRems, 0, 1);
    trackGrid->addWidget(cbxNames, 1, 0);
    trackGrid->addWidget(cbxProps, 1, 1);
    gbOptions = Named(new QGroupBox(QStringLiteral("Options"), pnlDir), "gbOptions");
    lblMax = Named(new QLabel(QStringLiteral("Clear At:100 Entries"), gbOptions), "lblMax");
    lblMax->setMinimumWidth(
        lblMax->fontMetrics().horizontalAdvance(QStringLiteral("Clear At:510 Entries")) + 4);
    cbxRecurse = Named(new QCheckBox(QStringLiteral("Recurse"), gbOptions), "cbxRecurse");
    cbxAutoStart = Named(new QCheckBox(QStringLiteral("Auto Start"), gbOptions), "cbxAutoStart");
    cbxAutoSave = Named(new QCheckBox(QStringLiteral("Auto Save"), gbOptions), "cbxAutoSave");
    tbMaxEnt = Named(new QSlider(Qt::Horizontal, gbOptions), "tbMaxEnt");
    tbMaxEnt->setRange(kTrackMinClearAt, kTrackMaxClearAt);
    tbMaxEnt->setSingleStep(5);
    tbMaxEnt->setPageStep(10);
    tbMaxEnt->setTickInterval(20);
    tbMaxEnt->setTickPosition(QSlider::TicksBothSides);
    tbMaxEnt->setValue(kTrackDefaultClearAt);
    auto* optionsGrid = new QGridLayout(gbOptions);
    optionsGrid->addWidget(cbxRecurse, 0, 0);
    optionsGrid->addWidget(cbxAutoStart, 0, 1);
    optionsGrid->addWidget(cbxAutoSave, 0, 2);
    auto* clearRow = new QHBoxLayout;
    clearRow->addWidget(lblMax);
    clearRow->addWidget(tbMaxEnt, 1);
    optionsGrid->addLayout(clearRow, 1, 0, 1, 3);
    auto* dirGrid = new QGridLayout(pnlDir);
    dirGrid->setContentsMargins(6, 4, 6, 4);
    dirGrid->addWidget(lblSource, 0, 0, 1, 2);
    dirGrid->addWidget(stSource, 1, 0);
    dirGrid->addWidget(sbnBrowse, 1, 1);
    auto* boxes = new QHBoxLayout;
    boxes->addWidget(gbTrack);
    boxes->addWidget(gbOptions, 1);
    dirGrid->addLayout(boxes, 2, 0, 1, 2);

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReSet = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReSet");
    btnStop = Named(new QPushButton(QStringLiteral("Stop"), pnlBtns), "btnStop");
    btnStart = Named(new QPushButton(QStringLiteral("Start"), pnlBtns), "btnStart");
    btnSave = Named(new QPushButton(QStringLiteral("Save"), pnlBtns), "btnSave");
    btnClear = Named(new QPushButton(QStringLiteral("Clear"), pnlBtns), "btnClear");
    btnPause = Named(new QPushButton(QStringLiteral("Pause"), pnlBtns), "btnPause");
    auto* buttonRow = new QHBoxLayout(pnlBtns);
    buttonRow->setContentsMargins(6, 4, 6, 4);
    for (QPushButton* button : {btnReSet, btnStop, btnStart, btnSave, btnClear, btnPause}) {
        buttonRow->addWidget(button);
    }

    pgcTrack = Named(new QTabWidget(this), "pgcTrack");
    tsTrack = Named(new QWidget(pgcTrack), "tsTrack");
    lvChanges = MakeReportList(
        tsTrack, "lvChanges",
        {QStringLiteral("Object"), QStringLiteral("Time"), QStringLiteral("Action")}, 0);
    auto* trackPage = new QVBoxLayout(tsTrack);
    trackPage->setContentsMargins(2, 2, 2, 2);
    trackPage->addWidget(lvChanges);
    tsDetails = Named(new QWidget(pgcTrack), "tsDetails");
    splitDetails = Named(new QSplitter(Qt::Horizontal, tsDetails), "splitDetails");
    lvDetails = MakeReportList(splitDetails, "lvDetails",
                               {QStringLiteral("Object"), QStringLiteral("Action")}, 1);
    dgProps = Named(new QTableWidget(kGridRows, 2, splitDetails), "dgProps");
    dgProps->horizontalHeader()->hide();
    dgProps->horizontalHeader()->setStretchLastSection(true);
    dgProps->verticalHeader()->hide();
    dgProps->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    dgProps->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    dgProps->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dgProps->setSelectionMode(QAbstractItemView::SingleSelection);
    dgProps->setMouseTracking(true);
    QFont plain = dgProps->font();
    plain.setPointSize(9);
    QFont bold = plain;
    bold.setBold(true);
    for (int row = 0; row < kGridRows; ++row) {
        dgProps->setRowHeight(row, kGridRowHeight);
        for (int column = 0; column < 2; ++column) {
            auto* item = new QTableWidgetItem;
            const bool label = column == 0 || row == 0;
            item->setFlags(label ? Qt::ItemIsEnabled : Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setBackground(label ? QColor(kHeaderGrey, kHeaderGrey, kHeaderGrey)
                                      : QColor(Qt::white));
            item->setForeground(QColor(Qt::black));
            item->setFont(row == 0 ? bold : plain);
            if (row == 0) {
                item->setTextAlignment(Qt::AlignCenter);
                item->setText(column == 0 ? QStringLiteral("Property") : QStringLiteral("Value"));
            } else if (column == 0) {
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                item->setText(QString::fromLatin1(kGridLabels[row]));
            } else {
                item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            }
            dgProps->setItem(row, column, item);
        }
    }
    splitDetails->addWidget(lvDetails);
    splitDetails->addWidget(dgProps);
    auto* detailsPage = new QVBoxLayout(tsDetails);
    detailsPage->setContentsMargins(2, 2, 2, 2);
    detailsPage->addWidget(splitDetails);
    pgcTrack->addTab(tsTrack, QStringLiteral("Results"));
    pgcTrack->addTab(tsDetails, QStringLiteral("Details"));

    layout->addWidget(pnlDir);
    layout->addWidget(pgcTrack, 1);
    layout->addWidget(pnlBtns);

    SetHint(sbnBrowse, QStringLiteral("Browse|Select Target Directory"));
    SetHint(stSource, QStringLiteral("|Target files from this directory"));
    SetHint(cbxAdds, QStringLiteral("|Check to track file/folder creation"));
    SetHint(cbxRems, QStringLiteral("|Check to track file/folder removal"));
    SetHint(cbxNames, QStringLiteral("|Check to track file/folder rename operations"));
    SetHint(cbxProps, QStringLiteral("|Check to track changes in file size and/or attributes"));
    SetHint(cbxRecurse, QStringLiteral("|Check to track directory tree"));
    SetHint(cbxAutoStart, QStringLiteral("|Check to start tracking  at startup"));
    SetHint(cbxAutoSave, QStringLiteral("|Check to save results prior to clearing && shutdown"));
    SetHint(tbMaxEnt, QStringLiteral("|How frequently should change data be discarded?"));
    SetHint(btnReSet, QStringLiteral("|Reset"));
    SetHint(btnStop, QStringLiteral("|Stop Tracking"));
    SetHint(btnStart, QStringLiteral("|Start Tracking"));
    SetHint(btnSave, QStringLiteral("|Save results to file"));
    SetHint(btnClear, QStringLiteral("|Clear results"));
    SetHint(btnPause, QStringLiteral("|Pause Updates"));
    SetHint(lvChanges, QStringLiteral("Changes"));
    SetHint(lvDetails, QStringLiteral("Changed Objects"));
    SetHint(dgProps, QStringLiteral("|Hover on date rows for detailed date information"));

    AskFolder = [this] { return PickFolder(QStringLiteral("Select Target Folder"), {}); };

    connect(sbnBrowse, &QToolButton::clicked, this, &TfrmDirTrack::DoDestBrowse);
    connect(tbMaxEnt, &QSlider::valueChanged, this, &TfrmDirTrack::WhenMaxChange);
    connect(btnReSet, &QPushButton::clicked, this, &TfrmDirTrack::DoReSet);
    connect(btnStop, &QPushButton::clicked, this, &TfrmDirTrack::DoStop);
    connect(btnStart, &QPushButton::clicked, this, &TfrmDirTrack::DoStart);
    connect(btnSave, &QPushButton::clicked, this, &TfrmDirTrack::DoSave);
    connect(btnClear, &QPushButton::clicked, this, &TfrmDirTrack::DoClear);
    connect(btnPause, &QPushButton::clicked, this, &TfrmDirTrack::DoPause);
    connect(lvChanges->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { WhenCClick(lvChanges, column); });
    connect(lvDetails->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { WhenCClick(lvDetails, column); });
    connect(lvDetails, &QTreeWidget::itemSelectionChanged, this, &TfrmDirTrack::WhenObjSelect);
    connect(dgProps, &QTableWidget::cellEntered, this, &TfrmDirTrack::WhenMouseOver);
    connect(splitDetails, &QSplitter::splitterMoved, this, [this] { FitGridColumns(); });

    // The controls show the tracking settings until the stored ones are loaded.
    if (m_help != nullptr) {
        const quint16 options = m_help->Options();
        const std::array<QCheckBox*, 7> boxes = OptionBoxes();
        for (int bit = 0; bit < 7; ++bit) {
            boxes[bit]->setChecked((options & (1u << bit)) != 0);
        }
        tbMaxEnt->setValue(m_help->ClearAt());
    }
    stSource->SetCaption(PathSlots[0]);
    ClearDetails();
    SetTrackingState(m_help != nullptr && m_help->Tracking());
    if (m_tracking) {
        Refill();
    }
}

TfrmDirTrack::~TfrmDirTrack() {
    // The faster check served this window's lists only.
    if (m_tracking && Panel() != nullptr) {
        Panel()->RestoreCheckInterval();
    }
}

QStringList TfrmDirTrack::OwnFolders() const {
    return {Host().ProgramFolder(), Host().DataFolder(), Host().LogsFolder()};
}

std::array<QCheckBox*, 7> TfrmDirTrack::OptionBoxes() const {
    return {cbxAdds, cbxRems, cbxNames, cbxProps, cbxRecurse, cbxAutoStart, cbxAutoSave};
}

void TfrmDirTrack::SetTrackingState(bool tracking) {
    m_tracking = tracking;
    SetChildrenEnabled(pnlDir, !tracking);
    btnReSet->setEnabled(!tracking);
    btnStart->setEnabled(!tracking && m_help != nullptr);
    btnClear->setEnabled(tracking);
    btnPause->setEnabled(tracking);
    btnSave->setEnabled(tracking);
    btnStop->setEnabled(tracking);
    if (TToolPanel* panel = Panel()) {
        if (tracking) {
            panel->SetCheckInterval(kTrackingCheckMs);
        } else {
            panel->RestoreCheckInterval();
        }
    }
}

void TfrmDirTrack::LoadSettings() {
    if (m_help == nullptr) {
        return;
    }
    m_loading = true;
    const quint16 options = m_help->Options();
    const std::array<QCheckBox*, 7> boxes = OptionBoxes();
    for (int bit = 0; bit < 7; ++bit) {
        boxes[bit]->setChecked((options & (1u << bit)) != 0);
    }
    tbMaxEnt->setValue(m_help->ClearAt());
    WhenMaxChange();
    const QString folder = m_help->Folder();
    if (!folder.isEmpty() && IsFolder(folder)) {
        PathSlots[0] = folder;
    }
    try {
        RejectOwnFolders(PathSlots[0], OwnFolders());
    } catch (const EQuiva&) {
        PathSlots[0] = WindowsFolder();
    }
    stSource->SetCaption(PathSlots[0]);
    m_loading = false;
}

void TfrmDirTrack::SaveSettings() {
    if (m_help == nullptr) {
        return;
    }
    quint16 options = 0;
    const std::array<QCheckBox*, 7> boxes = OptionBoxes();
    for (int bit = 0; bit < 7; ++bit) {
        if (boxes[bit]->isChecked()) {
            options |= static_cast<quint16>(1u << bit);
        }
    }
    m_help->SetOptions(options);
    const int clearAt = tbMaxEnt->value();
    if (clearAt >= kTrackMinClearAt && clearAt <= kTrackMaxClearAt) {
        m_help->SetClearAt(clearAt);
    }
    m_help->SetFolder(IsFolder(PathSlots[0]) ? PathSlots[0] : QString());
    m_help->Save();
    cbxAutoStart->setChecked((m_help->Options() & kTrackAutoStart) != 0);
}

void TfrmDirTrack::showEvent(QShowEvent* event) {
    TFormBase::showEvent(event);
    FitGridColumns();
}

void TfrmDirTrack::FitGridColumns() {
    // The labels' column fits "Read Only"; the values take the rest (the last section
    // stretches with the grid).
    dgProps->setColumnWidth(
        0, dgProps->fontMetrics().horizontalAdvance(QStringLiteral("Read Only")) + 25);
}

void TfrmDirTrack::DoDestBrowse() {
    const std::optional<QString> folder = AskFolder ? AskFolder() : std::nullopt;
    if (!folder || folder->isEmpty() || !IsFolder(*folder)) {
        return;
    }
    try {
        RejectOwnFolders(*folder, OwnFolders());
    } catch (const EQuiva& error) {
        Host().ShowStatus(error.Message(), false, kStatusError);
        return;
    }
    PathSlots[0] = *folder;
    stSource->SetCaption(PathSlots[0]);
}

void TfrmDirTrack::WhenMaxChange() {
    lblMax->setText(QStringLiteral("Clear At:%1 Entries").arg(tbMaxEnt->value()));
}

void TfrmDirTrack::DoStart() {
    if (m_help == nullptr) {
        return;
    }
    SaveSettings();
    EmptyLists();
    try {
        m_help->Start();
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
        return;
    }
    SetTrackingState(true);
}

void TfrmDirTrack::DoStop() {
    if (m_help != nullptr) {
        m_help->Stop();
    }
    SetTrackingState(false);
}

void TfrmDirTrack::DoPause() {
    m_paused = !m_paused;
    btnPause->setText(m_paused ? QStringLiteral("ReStart") : QStringLiteral("Pause"));
    SetHint(btnPause,
            m_paused ? QStringLiteral("|Restart Updates") : QStringLiteral("|Pause Updates"));
}

void TfrmDirTrack::DoClear() {
    if (m_help != nullptr && m_help->Tracker() != nullptr) {
        m_help->Tracker()->Clear();
    }
    EmptyLists();
}

void TfrmDirTrack::DoReSet() {
    if (m_help != nullptr) {
        m_help->Reset();
    }
    LoadSettings();
    EmptyLists();
}

void TfrmDirTrack::DoSave() {
    TWatcher* tracker = m_help != nullptr ? m_help->Tracker() : nullptr;
    if (tracker == nullptr) {
        return;
    }
    if (!tracker->HasEntries()) {
        Host().ShowStatus(QString::fromUtf8(kTrackNothingToSaveMessage), false, kStatusError);
        return;
    }
    try {
        const QString path = tracker->SaveToLogs();
        Host().ShowStatus(QString::fromUtf8(kTrackSavedMessage).arg(PrintableName(path)), false,
                          kStatusCompletion);
    } catch (const EQuiva& error) {
        Host().ShowStatus(error.Message(), false, kStatusError);
    }
}

void TfrmDirTrack::PeriodicCheck() {
    if (m_tracking && (m_help == nullptr || !m_help->Tracking())) {
        SetTrackingState(false);  // tracking ended by itself (the folder went, a limit)
        return;
    }
    TWatcher* tracker = m_help != nullptr ? m_help->Tracker() : nullptr;
    if (!m_paused && tracker != nullptr && tracker->NewData()) {
        Refill();
    }
}

void TfrmDirTrack::EmptyLists() {
    lvChanges->clear();
    lvDetails->clear();
    ClearDetails();
}

void TfrmDirTrack::ClearDetails() {
    for (int row = 1; row < kGridRows; ++row) {
        dgProps->item(row, 1)->setText(QString());
        dgProps->item(row, 1)->setForeground(QColor(Qt::black));
    }
    m_longDates.fill(QString());
}

void TfrmDirTrack::Refill() {
    EmptyLists();
    TWatcher* tracker = m_help != nullptr ? m_help->Tracker() : nullptr;
    if (tracker == nullptr) {
        return;
    }
    lvChanges->setUpdatesEnabled(false);
    lvDetails->setUpdatesEnabled(false);
    const quint32 shown = tracker->DisplaySet();
    for (int action = kTrackAdded; action <= kTrackLastAction; ++action) {
        if ((shown & (1u << action)) == 0) {
            continue;
        }
        const QString word = TrackActionWord(action);
        for (const TTrackEntry& entry : tracker->Entries(action)) {
            const QString name = PrintableName(entry.name);
            auto* row = new QTreeWidgetItem(
                lvChanges,
                {name, tracker->EntryTime(entry).toString(QStringLiteral("HH:mm:ss:zzz")), word});
            row->setData(0, kNameRole, entry.name);
            if (TrackActionInDetails(action)) {
                auto* detail = new QTreeWidgetItem(lvDetails, {name, word});
                detail->setData(0, kNameRole, entry.name);
            }
        }
    }
    lvChanges->setUpdatesEnabled(true);
    lvDetails->setUpdatesEnabled(true);
    tracker->ClearNewData();
}

void TfrmDirTrack::WhenCClick(QTreeWidget* list, int column) {
    TDirSort& state = DirSortStates()[list->property("Tag").toInt() == 0 ? 0 : 1];
    if (column == state.column) {
        state.reverse = !state.reverse;
    } else {
        state.column = column;
    }
    QList<QTreeWidgetItem*> rows;
    while (list->topLevelItemCount() > 0) {
        rows.append(list->takeTopLevelItem(0));
    }
    const bool reverse = state.reverse;
    const int sorted = column < list->columnCount() ? column : -1;
    std::stable_sort(rows.begin(), rows.end(), [&](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        if (sorted < 0) {
            return false;
        }
        const int order = QString::localeAwareCompare(a->text(sorted), b->text(sorted));
        return reverse ? order > 0 : order < 0;
    });
    list->addTopLevelItems(rows);
}

void TfrmDirTrack::WhenObjSelect() {
    const QList<QTreeWidgetItem*> selected = lvDetails->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    const QString name = selected.first()->data(0, kNameRole).toString();
    QString path = PathSlots[0];
    if (!path.endsWith('/')) {
        path += '/';
    }
    path += name;
    ClearDetails();
    TFileFacts facts;
    if (!ReadFileFacts(path, facts)) {
        dgProps->viewport()->update();
        return;
    }
    dgProps->item(1, 1)->setText(QString::number(facts.size));
    const std::optional<TFileTime> times[3] = {facts.created, facts.accessed, facts.modified};
    for (int i = 0; i < 3; ++i) {
        if (times[i]) {
            dgProps->item(kFirstDateRow + i, 1)->setText(ShortDate(*times[i]));
            m_longDates[kFirstDateRow + i] = LongDateOf(*times[i]);
        }
    }
    const bool hidden = name.section('/', -1).startsWith('.');
    const bool flags[kGridRows - kFirstFlagRow] = {
        facts.isRegular,  // archived: a regular file
        false,            // compressed
        facts.isFolder,   // directory
        hidden,           // hidden: the name begins with "."
        facts.isRegular,  // normal
        false,            // offline
        facts.readOnly,   // read only: the user may not write it
        false,            // system
        false,            // temporary
    };
    QFont mark = dgProps->font();
    mark.setPointSize(12);
    mark.setBold(true);
    for (int row = kFirstFlagRow; row < kGridRows; ++row) {
        QTableWidgetItem* item = dgProps->item(row, 1);
        const bool set = flags[row - kFirstFlagRow];
        item->setText(set ? QStringLiteral("\u2713") : QStringLiteral("\u2717"));
        item->setForeground(set ? QColor(0, 128, 0) : QColor(Qt::red));
        item->setFont(mark);
    }
    dgProps->viewport()->update();
}

void TfrmDirTrack::WhenMouseOver(int row, int /*column*/) {
    if (row >= kFirstDateRow && row <= kLastDateRow && !m_longDates[row].isEmpty()) {
        Host().ShowStatus(m_longDates[row], false, kStatusNotice);
    }
}

QString TfrmDirTrack::DetailText(int row) const {
    return row > 0 && row < kGridRows ? dgProps->item(row, 1)->text() : QString();
}

QString TfrmDirTrack::LongDate(int row) const {
    return row >= 0 && row < kGridRows ? m_longDates[row] : QString();
}
