#include "windows/backup/backup_window.h"

#include "backup/backup_log.h"
#include "backup/backup_service.h"
#include "backup/backup_workers.h"
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/restore_safety.h"
#include "backup/version_restore.h"
#include "base/day_number.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "storage/app_stores.h"
#include "ui/ell_path.h"
#include "ui/window_parts.h"

#include <QAction>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTextCharFormat>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValidator>

#include <algorithm>

namespace {

constexpr const char* kToolKey = "Backup";
constexpr int kToolFields = 6;
constexpr int kClientWidth = 734;
constexpr int kClientHeight = 500;
constexpr int kCheckIntervalMs = 30000;
constexpr int kHelpContext = 150;
constexpr int kDiscardAllHelpContext = 170;
constexpr int kProfilesPanelWidth = 246;
constexpr int kProfileItemHeight = 14;
constexpr int kProfileTextIndent = 4;
constexpr int kNameMaxLength = 24;
constexpr int kCustomMaxLength = 6;
constexpr int kMaskMaxLength = 16;
constexpr int kPasswordMaxLength = 12;
constexpr int kExtensionColumns = 4;
// The profile list of the Backups Manager shows names of this many characters whole.
constexpr int kWidestShownName = 16;
// A catalogue longer than this is not stored (the window starts with its own again).
constexpr int kLongestStoredCatalogue = 255;
// The log is started anew when it grows beyond this many lines.
constexpr int kMostLogLines = 2047;
constexpr int kResultColumns = 5;
constexpr int kResultSizeColumn = 3;
constexpr int kResultDateColumn = 4;
constexpr int kLogDateColumn = 0;
constexpr int kBusyRetryMs = 100;

constexpr int kProfileRole = Qt::UserRole;
constexpr int kVersionRole = Qt::UserRole;
constexpr int kSortKeyRole = Qt::UserRole + 1;

const QDate kEarliestFrom(1980, 1, 1);
const QDate kEarliestTo(1980, 1, 2);
const QDate kDefaultFrom(2000, 1, 1);

// ---- key filters ---------------------------------------------------------------------

// A key filter on an edit: each character typed (or pasted) goes through `filter`, which
// drops it (returns an empty text) or gives what the edit keeps instead.
class TKeyFilter : public QValidator {
public:
    using TFilter = QString (*)(QChar);
    TKeyFilter(TFilter filter, QObject* parent) : QValidator(parent), m_filter(filter) {}

    State validate(QString& input, int& pos) const override {
        QString kept;
        int keptPos = 0;
        for (qsizetype i = 0; i < input.size(); ++i) {
            kept += m_filter(input[i]);
            if (i + 1 == pos) {
                keptPos = static_cast<int>(kept.size());
            }
        }
        input = kept;
        pos = std::min(keptPos, static_cast<int>(kept.size()));
        return Acceptable;
    }

private:
    TFilter m_filter;
};

bool IsDroppedPathCharacter(QChar c) {
    return QStringLiteral("\"/:<>\\|").contains(c);
}

// edtMoni: letters (either case, of any alphabet: the stored names are UTF-8), digits and "_"
// only, as TProfiles::CheckName takes them.
QString MoniKP(QChar c) {
    return c.isLetter() || c.isDigit() || c == u'_' ? QString(c) : QString();
}

// edtCustom: lower case, without the characters a file extension cannot use here.
QString CustomKP(QChar c) {
    return QStringLiteral("\"*./:<>?\\|").contains(c) ? QString() : QString(c.toLower());
}

// The three mask edits of the overrides.
QString OverEdKP(QChar c) {
    return IsDroppedPathCharacter(c) ? QString() : QString(c);
}

// edtMask: as the mask edits, with * and ? turned into SQL's % and _.
QString MaskKP(QChar c) {
    if (IsDroppedPathCharacter(c)) {
        return QString();
    }
    if (c == u'*') {
        return QStringLiteral("%");
    }
    if (c == u'?') {
        return QStringLiteral("_");
    }
    return QString(c);
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int maxLength, TKeyFilter::TFilter filter) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setMaxLength(maxLength);
    if (filter != nullptr) {
        edit->setValidator(new TKeyFilter(filter, edit));
    }
    return edit;
}

// ---- lists -----------------------------------------------------------------------------

// A profile's entry in a profile list: sorted by name without regard to case.
class TProfileItem : public QListWidgetItem {
public:
    TProfileItem(const QString& name, int number) : QListWidgetItem(name) {
        setData(kProfileRole, number);
    }
    bool operator<(const QListWidgetItem& other) const override {
        return text().compare(other.text(), Qt::CaseInsensitive) < 0;
    }
};

// Draws a profile list's entries: the background (the selection colour when selected),
// then the name 4 pixels in, on one line, vertically centred, in its state's style.
class TProfileDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        const bool selected = (item.state & QStyle::State_Selected) != 0;
        painter->save();
        painter->fillRect(item.rect,
                          item.palette.brush(selected ? QPalette::Highlight : QPalette::Base));
        const QVariant colour = index.data(Qt::ForegroundRole);
        painter->setPen(colour.isValid() ? colour.value<QBrush>().color()
                                         : item.palette.color(QPalette::Text));
        painter->setFont(item.font);
        painter->drawText(item.rect.adjusted(kProfileTextIndent, 0, 0, 0),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, item.text);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QFont bold = option.font;
        bold.setBold(true);
        const QFontMetrics metrics(bold);
        return QSize(metrics.horizontalAdvance(index.data().toString()) + 2 * kProfileTextIndent,
                     std::max(kProfileItemHeight, metrics.height() + 2));
    }
};

QListWidget* MakeProfileList(QWidget* parent, const char* name) {
    auto* list = Named(new QListWidget(parent), name);
    list->setItemDelegate(new TProfileDelegate(list));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setUniformItemSizes(true);
    list->setSortingEnabled(true);
    return list;
}

// A list box of four columns: the entries flow down and on into the next column.
class TColumnList : public QListWidget {
public:
    explicit TColumnList(QWidget* parent) : QListWidget(parent) {
        setFlow(QListView::TopToBottom);
        setWrapping(true);
        setResizeMode(QListView::Adjust);
        setUniformItemSizes(true);
        setSelectionMode(QAbstractItemView::ExtendedSelection);
        setSortingEnabled(true);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        setGridSize(QSize(std::max(1, viewport()->width() / kExtensionColumns),
                          fontMetrics().height() + 2));
        QListWidget::resizeEvent(event);
    }
};

QStringList ListTexts(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts << list->item(i)->text();
    }
    return texts;
}

bool ListHas(const QListWidget* list, const QString& text) {
    return ListTexts(list).contains(text, Qt::CaseInsensitive);
}

// A row of the results or of the log: sorted by its column's key where it has one
// (sizes as numbers, dates as dates), else by text with regard to case.
class TSortItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
        const QVariant mine = data(column, kSortKeyRole);
        const QVariant theirs = other.data(column, kSortKeyRole);
        if (mine.isValid() && theirs.isValid()) {
            return mine.toDouble() < theirs.toDouble();
        }
        return text(column).compare(other.text(column), Qt::CaseSensitive) < 0;
    }
};

QTreeWidget* MakeReport(QWidget* parent, const char* name, const QStringList& captions,
                        const QList<int>& widths) {
    auto* list = Named(new QTreeWidget(parent), name);
    list->setColumnCount(static_cast<int>(captions.size()));
    list->setHeaderLabels(captions);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->header()->setSectionsClickable(true);
    list->header()->setStretchLastSection(false);
    for (int i = 0; i < widths.size(); ++i) {
        list->header()->resizeSection(i, widths[i]);
    }
    return list;
}

// The moment of a log line's time field ("yyyy/MM/dd", no-break space, "hh:mm:ss") as
// milliseconds, or none.
QVariant LogTimeKey(const QString& when) {
    QString text = when;
    text.replace(QChar(0x00A0), QLatin1Char(' '));
    const QDateTime moment =
        QDateTime::fromString(text.trimmed(), QStringLiteral("yyyy/MM/dd hh:mm:ss"));
    return moment.isValid() ? QVariant(double(moment.toMSecsSinceEpoch())) : QVariant();
}

QComboBox* MakeDropDown(QWidget* parent, const char* name, const QStringList& items, int index) {
    auto* box = Named(new QComboBox(parent), name);
    box->addItems(items);
    box->setCurrentIndex(index);
    return box;
}

QToolButton* MakeSpeedButton(QWidget* parent, const char* name, const QString& caption, int tag) {
    auto* button = Named(new QToolButton(parent), name);
    button->setText(caption);
    button->setProperty("Tag", tag);
    return button;
}

int WholeDay(const QDate& date) {
    return static_cast<int>(DayNumberFromDate(date));
}

QDate DateOfDay(int day) {
    return DayNumberEpoch().addDays(day);
}

QString ItemCountText(int count, const char* one, const char* many) {
    return count == 1 ? QString::fromLatin1(one) : QString::fromLatin1(many).arg(count);
}

}  // namespace

TProfileState ProfileState(const TProfile& profile) {
    if (profile.TestBit(kBitActive)) {
        return profile.TestBit(kBitRunning) ? kStateOneShot : kStateMonitoring;
    }
    return profile.TestBit(kBitReady) ? kStateReady : kStateNotReady;
}

QColor ProfileStateColour(TProfileState state) {
    switch (state) {
        case kStateMonitoring:
            return QColor(255, 0, 0);
        case kStateOneShot:
            return QColor(128, 0, 128);
        case kStateNotReady:
        case kStateReady:
            break;
    }
    return QColor(0, 0, 0);
}

// ---- construction ------------------------------------------------------------------------

TfrmBackup::TfrmBackup(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    pgcBackup = Named(new QTabWidget(this), "pgcBackup");
    layout->addWidget(pgcBackup);
    tsBackup = Named(new QWidget(pgcBackup), "tsBackup");
    tsRestore = Named(new QWidget(pgcBackup), "tsRestore");
    tsLog = Named(new QWidget(pgcBackup), "tsLog");
    pgcBackup->addTab(tsBackup, QStringLiteral("Profiles"));
    pgcBackup->addTab(tsRestore, QStringLiteral("Backups Manager"));
    pgcBackup->addTab(tsLog, QStringLiteral("Backup Log"));
    BuildProfilesPage();
    BuildRestorePage();
    BuildLogPage();

    // At least the designed size; more when the fonts need it, so that nothing is cut.
    setFixedSize(QSize(kClientWidth, kClientHeight).expandedTo(layout->minimumSize()));

    FillProfileLists();
    m_lastDay = WholeDay(QDate::currentDate()) + 1;
    m_extractFolder = Host().DataFolder();
    mcTo->setMaximumDate(DateOfDay(m_lastDay));
    mcFrom->setMaximumDate(QDate::currentDate());
    mcTo->setSelectedDate(QDate::currentDate());
    ShowProfile(nullptr);

    AskTargetFolder = [this] { return PickFolder(QStringLiteral("Select Target Folder"), {}); };
    AskYesNo = [this](const QString& text, int helpContext) {
        return ConfirmYesNo(text, helpContext);
    };
    AskDestination = [this](const QString& folder, const QString& extension, const QString& name) {
        QFileDialog dialog(this, QStringLiteral("Destination file"), folder);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        QStringList filters;
        if (!extension.isEmpty()) {
            dialog.setDefaultSuffix(extension);
            filters << QStringLiteral("%1 Files (*.%2)").arg(extension.toUpper(), extension);
        }
        filters << QStringLiteral("*.* (*)");
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.first());
        dialog.selectFile(name);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return QString();
        }
        return dialog.selectedFiles().first();
    };

    ConnectHandlers();
    if (TProfiles* list = ProfileList()) {
        connect(list, &TProfiles::RunConcluded, this, &TfrmBackup::RefreshProfile);
    }
    PeriodicCheck();
    if (TToolPanel* toolPanel = Panel()) {
        toolPanel->SetCheckInterval(kCheckIntervalMs);
    }
}

TfrmBackup::~TfrmBackup() {
    m_collected.clear();
    if (TProfiles* list = ProfileList()) {
        list->SaveAll(false);
    }
    if (TToolPanel* toolPanel = Panel()) {
        toolPanel->RestoreCheckInterval();
    }
}

void TfrmBackup::BuildProfilesPage() {
    auto* page = new QHBoxLayout(tsBackup);
    page->setContentsMargins(2, 2, 2, 2);

    pnlProfiles = MakePanel(tsBackup, "pnlProfiles");
    pnlProfiles->setMinimumWidth(kProfilesPanelWidth);
    lbProfiles = MakeProfileList(pnlProfiles, "lbProfiles");
    edtMoni = MakeEdit(pnlProfiles, "edtMoni", kNameMaxLength, &MoniKP);
    btnRename = Named(new QPushButton(QStringLiteral("&Rename"), pnlProfiles), "btnRename");
    btnDelete = Named(new QPushButton(QStringLiteral("Delete"), pnlProfiles), "btnDelete");
    btnAdd = Named(new QPushButton(QStringLiteral("&Add"), pnlProfiles), "btnAdd");
    btnStop = Named(new QPushButton(QStringLiteral("S&top"), pnlProfiles), "btnStop");
    btnStart = Named(new QPushButton(QStringLiteral("&Start"), pnlProfiles), "btnStart");
    btnRename->setEnabled(false);
    btnDelete->setEnabled(false);
    btnStop->setEnabled(false);
    btnStart->setEnabled(false);
    auto* profiles = new QGridLayout(pnlProfiles);
    profiles->setContentsMargins(4, 4, 4, 4);
    profiles->addWidget(lbProfiles, 0, 0, 1, 2);
    profiles->addWidget(edtMoni, 1, 0);
    profiles->addWidget(btnRename, 1, 1);
    profiles->addWidget(btnAdd, 2, 0);
    profiles->addWidget(btnDelete, 2, 1);
    profiles->addWidget(btnStart, 3, 0);
    profiles->addWidget(btnStop, 3, 1);
    profiles->setColumnStretch(0, 1);
    profiles->setColumnStretch(1, 1);
    profiles->setRowStretch(0, 1);

    pnlData = MakePanel(tsBackup, "pnlData");
    lblSource = Named(new QLabel(QStringLiteral("Target Directory"), pnlData), "lblSource");
    edtTarget = Named(new TEllPath(pnlData), "edtTarget");
    sbnBrowse = MakeBrowseButton(pnlData, "sbnBrowse");
    pgcProfile = Named(new QTabWidget(pnlData), "pgcProfile");
    tsDefaults = Named(new QWidget(pgcProfile), "tsDefaults");
    tsOverrides = Named(new QWidget(pgcProfile), "tsOverrides");
    pgcProfile->addTab(tsDefaults, QStringLiteral("Defaults"));
    pgcProfile->addTab(tsOverrides, QStringLiteral("Overrides"));
    BuildDefaultsPage();
    BuildOverridesPage();
    btnFullBack =
        Named(new QPushButton(QStringLiteral("Make Full Backup"), pnlData), "btnFullBack");
    btnDiscAll =
        Named(new QPushButton(QStringLiteral("Discard All Backups"), pnlData), "btnDiscAll");
    btnPrune = Named(new QPushButton(QStringLiteral("Prune Backups"), pnlData), "btnPrune");
    auto* data = new QGridLayout(pnlData);
    data->setContentsMargins(4, 4, 4, 4);
    data->addWidget(lblSource, 0, 0, 1, 3);
    auto* target = new QHBoxLayout();
    target->addWidget(edtTarget, 1);
    target->addWidget(sbnBrowse);
    data->addLayout(target, 1, 0, 1, 3);
    data->addWidget(pgcProfile, 2, 0, 1, 3);
    data->addWidget(btnFullBack, 3, 0);
    data->addWidget(btnDiscAll, 3, 1);
    data->addWidget(btnPrune, 3, 2);
    data->setRowStretch(2, 1);
    pnlData->setEnabled(false);

    page->addWidget(pnlProfiles);
    page->addWidget(pnlData, 1);
    page->setSpacing(4);

    SetHint(edtMoni, QStringLiteral("Enter new profile name|Enter a new profile  name here: 4 to "
                                    "24 letters of any alphabet, digits or _"));
    SetHint(btnDelete, QStringLiteral("|Delete selected profile"));
    SetHint(btnAdd, QStringLiteral("|Add new profile"));
    SetHint(btnStop, QStringLiteral("|Stop monitoring selected profile"));
    SetHint(btnStart, QStringLiteral("|Start monitoring selected profile"));
    SetHint(edtTarget, QStringLiteral("|Target files from this directory"));
    SetHint(sbnBrowse, QStringLiteral("Browse|Select target directory"));
    SetHint(btnDiscAll, QStringLiteral("|Discard ALL backups under the current profile."));
    SetHint(btnPrune, QStringLiteral("|Discard old backups using the  discard rule"));
}

void TfrmBackup::BuildDefaultsPage() {
    lbMasks = Named(new TColumnList(tsDefaults), "lbMasks");
    btnUse = Named(new QPushButton(QStringLiteral("Add"), tsDefaults), "btnUse");
    btnRemove = Named(new QPushButton(QStringLiteral("Remove"), tsDefaults), "btnRemove");
    edtCustom = MakeEdit(tsDefaults, "edtCustom", kCustomMaxLength, &CustomKP);
    edtCustom->setMaximumWidth(edtCustom->fontMetrics().horizontalAdvance(QLatin1Char('W')) * 7);
    btnCustom = Named(new QPushButton(QStringLiteral("Add Custom"), tsDefaults), "btnCustom");
    lbExts = Named(new TColumnList(tsDefaults), "lbExts");
    lbExts->addItems(DefaultExtensionCatalogue());

    pnlProOpts = Named(new QFrame(tsDefaults), "pnlProOpts");
    cbxAutoStart = Named(new QCheckBox(QStringLiteral("Autostart"), pnlProOpts), "cbxAutoStart");
    cbxDetLog = Named(new QCheckBox(QStringLiteral("Detailed logging"), pnlProOpts), "cbxDetLog");
    cbxPriority = Named(new QCheckBox(QStringLiteral("Low priority"), pnlProOpts), "cbxPriority");
    cbxNoZero = Named(new QCheckBox(QStringLiteral("No empty files"), pnlProOpts), "cbxNoZero");
    cbxRecurse = Named(new QCheckBox(QStringLiteral("Recurse"), pnlProOpts), "cbxRecurse");
    cbxTetu = Named(new QCheckBox(QStringLiteral("Skip && log on failure"), pnlProOpts), "cbxTetu");
    cbxClassic = Named(new QCheckBox(QStringLiteral("Classic versions"), pnlProOpts), "cbxClassic");
    const QList<QCheckBox*> boxes = {cbxAutoStart, cbxDetLog, cbxPriority, cbxNoZero,
                                     cbxRecurse,   cbxTetu,   cbxClassic};
    auto* options = new QGridLayout(pnlProOpts);
    options->setContentsMargins(0, 0, 0, 0);
    for (int tag = 0; tag < boxes.size(); ++tag) {
        boxes[tag]->setProperty("Tag", tag);
        // The six options of every profile in two columns; the format option below them.
        if (boxes[tag] == cbxClassic) {
            options->addWidget(boxes[tag], 3, 0, 1, 2);
        } else {
            options->addWidget(boxes[tag], tag % 3, tag / 3);
        }
    }

    lblSkipSize =
        Named(new QLabel(QStringLiteral("Skip files bigger than"), tsDefaults), "lblSkipSize");
    cbSkip = MakeDropDown(tsDefaults, "cbSkip", SizeLimitTexts(), 2);
    lblDiscRule = Named(new QLabel(QStringLiteral("Discard Rule"), tsDefaults), "lblDiscRule");
    cbDiscard = MakeDropDown(tsDefaults, "cbDiscard", DiscardRuleTexts(), 1);

    auto* page = new QGridLayout(tsDefaults);
    page->setContentsMargins(4, 4, 4, 4);
    page->addWidget(lbMasks, 0, 0, 1, 2);
    auto* buttons = new QHBoxLayout();
    buttons->addWidget(btnUse);
    buttons->addWidget(btnRemove);
    buttons->addStretch(1);
    buttons->addWidget(edtCustom);
    buttons->addWidget(btnCustom);
    page->addLayout(buttons, 1, 0, 1, 2);
    page->addWidget(lbExts, 2, 0, 1, 2);
    page->addWidget(pnlProOpts, 3, 0);
    auto* rules = new QGridLayout();
    rules->addWidget(lblSkipSize, 0, 0);
    rules->addWidget(cbSkip, 1, 0);
    rules->addWidget(lblDiscRule, 2, 0);
    rules->addWidget(cbDiscard, 3, 0);
    page->addLayout(rules, 3, 1);
    page->setRowStretch(0, 2);
    page->setRowStretch(2, 3);

    SetHint(lbMasks, QStringLiteral("Selected|Selected file extensions"));
    SetHint(btnUse, QStringLiteral("|Add selection to list"));
    SetHint(btnRemove, QStringLiteral("|Remove selection from list"));
    SetHint(edtCustom, QStringLiteral("Enter custom file type here"));
    SetHint(btnCustom, QStringLiteral("|Add custom filetype"));
    SetHint(lbExts, QStringLiteral("Select file types to monitor. Multiple selections allowed"));
    SetHint(cbxAutoStart, QStringLiteral("Start monitoring automatically"));
    SetHint(cbxDetLog, QStringLiteral("Log all operations"));
    SetHint(cbxPriority, QStringLiteral("Check to improve foreground performance"));
    SetHint(cbxNoZero, QStringLiteral("Don't backup zero byte files "));
    SetHint(cbxRecurse, QStringLiteral("Also monitor subdirectories"));
    SetHint(cbxTetu, QStringLiteral("|Log file access failure & continue"));
    SetHint(cbxClassic, QStringLiteral("Store each file whole in the classic format (read by other "
                                       "tools), without shared encrypted chunks"));
}

void TfrmBackup::BuildOverridesPage() {
    struct TOverrideParts {
        QGroupBox** box;
        const char* boxName;
        const char* caption;
        QListWidget** list;
        const char* listName;
        QLineEdit** edit;
        const char* editName;
        QToolButton** add;
        const char* addName;
        QToolButton** remove;
        const char* removeName;
        const char* listHint;
    };
    const TOverrideParts parts[] = {
        {&gbAlB, "gbAlB", "Always Backup", &lbABack, "lbABack", &edtABack, "edtABack", &bbnAbA,
         "bbnAbA", &sbnABackR, "sbnABackR", "|Always backup these files"},
        {&gbAlS, "gbAlS", "Always Skip", &lbASkip, "lbASkip", &edtASkip, "edtASkip", &sbnASA,
         "sbnASA", &sbnASkipR, "sbnASkipR", "|Never backup these files"},
        {&gbND, "gbND", "Never Discard", &lbNevDis, "lbNevDis", &edtNevDis, "edtNevDis", &sbnNDAdd,
         "sbnNDAdd", &sbnNevDisR, "sbnNevDisR", "|Never discard these files"},
    };
    auto* page = new QGridLayout(tsOverrides);
    page->setContentsMargins(4, 4, 4, 4);
    for (int tag = 0; tag < 3; ++tag) {
        const TOverrideParts& part = parts[tag];
        auto* box =
            Named(new QGroupBox(QString::fromLatin1(part.caption), tsOverrides), part.boxName);
        *part.box = box;
        auto* list = Named(new QListWidget(box), part.listName);
        list->setProperty("Tag", tag);
        *part.list = list;
        *part.edit = MakeEdit(box, part.editName, kMaskMaxLength, &OverEdKP);
        *part.add = MakeSpeedButton(box, part.addName, QStringLiteral("+"), tag);
        *part.remove = MakeSpeedButton(box, part.removeName, QStringLiteral("-"), tag);
        (*part.remove)->setEnabled(false);
        auto* inside = new QGridLayout(box);
        inside->setContentsMargins(4, 4, 4, 4);
        inside->addWidget(list, 0, 0, 1, 3);
        inside->addWidget(*part.edit, 1, 0);
        inside->addWidget(*part.add, 1, 1);
        inside->addWidget(*part.remove, 1, 2);
        page->addWidget(box, tag / 2, tag % 2);
        SetHint(list, QString::fromLatin1(part.listHint));
        SetHint(*part.edit,
                QStringLiteral("File mask|Enter full or partial filename. Wild cards - * and ? - "
                               "are allowed"));
        SetHint(*part.add, QStringLiteral("Add|Add to list"));
        SetHint(*part.remove, QStringLiteral("Remove|Remove from list"));
    }
    gbIgFold = Named(new QGroupBox(QStringLiteral("Ignore Subfolders"), tsOverrides), "gbIgFold");
    clbIgFold = Named(new QListWidget(gbIgFold), "clbIgFold");
    auto* ignore = new QVBoxLayout(gbIgFold);
    ignore->setContentsMargins(4, 4, 4, 4);
    ignore->addWidget(clbIgFold);
    page->addWidget(gbIgFold, 1, 1);
    lblPrior = Named(new QLabel(QStringLiteral("Priority"), tsOverrides), "lblPrior");
    cbPrior = MakeDropDown(tsOverrides, "cbPrior", PriorityOrderTexts(), 0);
    auto* priority = new QHBoxLayout();
    priority->addWidget(lblPrior);
    priority->addWidget(cbPrior, 1);
    page->addLayout(priority, 2, 0, 1, 2);
    page->setRowStretch(0, 1);
    page->setRowStretch(1, 1);
    SetHint(clbIgFold, QStringLiteral("|Ignore files in these folders"));
    SetHint(cbPrior, QStringLiteral("Override rules priority"));
}

void TfrmBackup::BuildRestorePage() {
    lvResults =
        MakeReport(tsRestore, "lvResults",
                   {QStringLiteral("File"), QStringLiteral("Type"), QStringLiteral("Location"),
                    QStringLiteral("Size"), QStringLiteral("Date")},
                   {190, 70, 200, 110, 150});
    lvResults->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvResults->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    lvResults->headerItem()->setTextAlignment(kResultSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    lvResults->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* history = new QAction(QStringLiteral("All Versions of This File"), lvResults);
    history->setObjectName(QStringLiteral("actHistory"));
    lvResults->addAction(history);
    connect(history, &QAction::triggered, this, &TfrmBackup::DoHistory);

    lblPros = Named(new QLabel(QStringLiteral("Profiles"), tsRestore), "lblPros");
    lbPros = MakeProfileList(tsRestore, "lbPros");
    lblBet = Named(new QLabel(QStringLiteral("Between"), tsRestore), "lblBet");
    mcFrom = Named(new QCalendarWidget(tsRestore), "mcFrom");
    lblAnd = Named(new QLabel(QStringLiteral("and"), tsRestore), "lblAnd");
    mcTo = Named(new QCalendarWidget(tsRestore), "mcTo");
    for (QCalendarWidget* calendar : {mcFrom, mcTo}) {
        calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
        calendar->setHorizontalHeaderFormat(QCalendarWidget::SingleLetterDayNames);
        calendar->setGridVisible(false);
        // No mark for the current day.
        calendar->setDateTextFormat(QDate::currentDate(), QTextCharFormat());
    }
    mcFrom->setMinimumDate(kEarliestFrom);
    mcTo->setMinimumDate(kEarliestTo);
    lblMask = Named(new QLabel(QStringLiteral("Browse For"), tsRestore), "lblMask");
    edtMask = MakeEdit(tsRestore, "edtMask", kMaskMaxLength, &MaskKP);
    edtMask->setText(QStringLiteral("%"));
    btnBrowse = Named(new QPushButton(QStringLiteral("Browse"), tsRestore), "btnBrowse");
    btnRestore = Named(new QPushButton(QStringLiteral("Restore"), tsRestore), "btnRestore");
    btnExtract = Named(new QPushButton(QStringLiteral("Extract"), tsRestore), "btnExtract");
    cbxChDate = Named(new QCheckBox(QStringLiteral("Assign Date"), tsRestore), "cbxChDate");
    cbxChDate->setChecked(true);
    btnChkAll = Named(new QPushButton(QStringLiteral("Un/Check All"), tsRestore), "btnChkAll");
    btnDiscard = Named(new QPushButton(QStringLiteral("Discard"), tsRestore), "btnDiscard");
    lblPwd = Named(new QLabel(QStringLiteral("Password"), tsRestore), "lblPwd");
    edtPwd = MakeEdit(tsRestore, "edtPwd", kPasswordMaxLength, nullptr);
    // Masked as the preferences' password edits are, "*" whatever the style's own choice,
    // with the same choice to show it.
    edtPwd->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    edtPwd->setEchoMode(QLineEdit::Password);
    cbxMask = Named(new QCheckBox(QStringLiteral("Mask Password"), tsRestore), "cbxMask");
    cbxMask->setChecked(true);
    connect(cbxMask, &QCheckBox::toggled, edtPwd, [this](bool masked) {
        edtPwd->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
    });
    const int characterWidth = fontMetrics().averageCharWidth();
    lbPros->setMinimumWidth(characterWidth * kWidestShownName);
    edtMask->setMinimumWidth(characterWidth * (kMaskMaxLength / 2 + 2));
    edtPwd->setMinimumWidth(characterWidth * (kPasswordMaxLength + 2));

    auto* page = new QVBoxLayout(tsRestore);
    page->setContentsMargins(4, 4, 4, 4);
    page->addWidget(lvResults, 1);
    auto* below = new QHBoxLayout();
    auto* profiles = new QVBoxLayout();
    profiles->addWidget(lblPros);
    profiles->addWidget(lbPros, 1);
    below->addLayout(profiles, 1);
    auto* from = new QVBoxLayout();
    from->addWidget(lblBet);
    from->addWidget(mcFrom, 1);
    below->addLayout(from);
    auto* to = new QVBoxLayout();
    to->addWidget(lblAnd);
    to->addWidget(mcTo, 1);
    below->addLayout(to);
    auto* actions = new QGridLayout();
    actions->addWidget(lblMask, 0, 0);
    actions->addWidget(edtMask, 0, 1);
    actions->addWidget(btnBrowse, 1, 0, 1, 2);
    actions->addWidget(btnRestore, 2, 0);
    actions->addWidget(btnExtract, 2, 1);
    actions->addWidget(cbxChDate, 3, 0, 1, 2);
    actions->addWidget(btnChkAll, 4, 0);
    actions->addWidget(btnDiscard, 4, 1);
    actions->addWidget(lblPwd, 5, 0);
    actions->addWidget(edtPwd, 5, 1);
    actions->addWidget(cbxMask, 6, 0, 1, 2);
    actions->setRowStretch(7, 1);
    below->addLayout(actions);
    page->addLayout(below);

    SetHint(lvResults, QStringLiteral("|Select- NOT CHECK - items to enable Restore/Extract "
                                      "buttons"));
    SetHint(edtMask, QStringLiteral("|Uses SQL wildcards.% = * and _ = ?"));
    SetHint(btnRestore, QStringLiteral("|Restore file to  original location"));
    SetHint(btnExtract, QStringLiteral("|Extract & save file to a location of your choice"));
    SetHint(cbxChDate, QStringLiteral("|Check to set date to backup date"));
    SetHint(btnChkAll, QStringLiteral("|Click to toggle checked status of backup entries"));
    SetHint(edtPwd, QStringLiteral("|Enter password at the time the backup was created. "));
    SetHint(cbxMask, QStringLiteral("|Uncheck to show the password as typed"));
}

void TfrmBackup::BuildLogPage() {
    lvLog =
        MakeReport(tsLog, "lvLog",
                   {QStringLiteral("Date/Time"), QStringLiteral("Event"), QStringLiteral("Reason")},
                   {160, 440, 120});
    btnClear = Named(new QPushButton(QStringLiteral("Clear"), tsLog), "btnClear");
    btnRefresh = Named(new QPushButton(QStringLiteral("Refresh"), tsLog), "btnRefresh");
    auto* page = new QVBoxLayout(tsLog);
    page->setContentsMargins(4, 4, 4, 4);
    page->addWidget(lvLog, 1);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(btnClear);
    buttons->addWidget(btnRefresh);
    page->addLayout(buttons);
    SetHint(lvLog, QStringLiteral("|To sort the list, click on the column headings"));
    SetHint(btnClear, QStringLiteral("|Start new backup log"));
    SetHint(btnRefresh, QStringLiteral("|Refresh immediately"));
}

void TfrmBackup::ConnectHandlers() {
    connect(lbProfiles, &QListWidget::itemClicked, this, &TfrmBackup::DoSelProf);
    connect(lbProfiles, &QListWidget::currentRowChanged, this, &TfrmBackup::DoSelProf);
    connect(btnAdd, &QPushButton::clicked, this, &TfrmBackup::DoAdd);
    connect(btnDelete, &QPushButton::clicked, this, &TfrmBackup::DoDelete);
    connect(btnRename, &QPushButton::clicked, this, &TfrmBackup::DoRename);
    connect(btnStart, &QPushButton::clicked, this, &TfrmBackup::DoStartMon);
    connect(btnStop, &QPushButton::clicked, this, &TfrmBackup::DoStop);
    connect(btnFullBack, &QPushButton::clicked, this, &TfrmBackup::DoFullBackup);
    connect(btnPrune, &QPushButton::clicked, this, &TfrmBackup::DoPrune);
    connect(btnDiscAll, &QPushButton::clicked, this, &TfrmBackup::DoDiscall);
    connect(sbnBrowse, &QToolButton::clicked, this, &TfrmBackup::DoBrowse);
    connect(btnUse, &QPushButton::clicked, this, &TfrmBackup::DoAddExt);
    connect(btnRemove, &QPushButton::clicked, this, &TfrmBackup::DoRemExt);
    connect(btnCustom, &QPushButton::clicked, this, &TfrmBackup::DoAddCustom);
    for (QCheckBox* box :
         {cbxAutoStart, cbxDetLog, cbxPriority, cbxNoZero, cbxRecurse, cbxTetu, cbxClassic}) {
        connect(box, &QCheckBox::clicked, this,
                [this, box] { FlagsMU(box->property("Tag").toInt()); });
    }
    connect(cbSkip, &QComboBox::currentIndexChanged, this, &TfrmBackup::DoSetSkip);
    connect(cbDiscard, &QComboBox::currentIndexChanged, this, &TfrmBackup::DoSetRule);
    connect(cbPrior, &QComboBox::currentIndexChanged, this, &TfrmBackup::DoSetPrior);
    for (QToolButton* add : {bbnAbA, sbnASA, sbnNDAdd}) {
        connect(add, &QToolButton::clicked, this,
                [this, add] { DoAddBSN(add->property("Tag").toInt()); });
    }
    for (QToolButton* remove : {sbnABackR, sbnASkipR, sbnNevDisR}) {
        connect(remove, &QToolButton::clicked, this,
                [this, remove] { DoRemBSN(remove->property("Tag").toInt()); });
    }
    connect(clbIgFold, &QListWidget::itemChanged, this, &TfrmBackup::IgFoldMU);

    connect(lbPros, &QListWidget::itemSelectionChanged, this, &TfrmBackup::DoSelBrowseProf);
    connect(btnBrowse, &QPushButton::clicked, this, &TfrmBackup::DoSearch);
    connect(lvResults, &QTreeWidget::itemSelectionChanged, this, &TfrmBackup::WhenResSelect);
    connect(lvResults, &QTreeWidget::itemDoubleClicked, this, &TfrmBackup::DoHistory);
    connect(btnChkAll, &QPushButton::clicked, this, &TfrmBackup::DoCheckUnCheck);
    connect(btnDiscard, &QPushButton::clicked, this, &TfrmBackup::DoDiscard);
    connect(btnRestore, &QPushButton::clicked, this, &TfrmBackup::DoRestore);
    connect(btnExtract, &QPushButton::clicked, this, &TfrmBackup::DoExtract);
    connect(lvResults->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { WhenCClick(lvResults, column); });
    connect(lvLog->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { WhenCClick(lvLog, column); });
    connect(btnClear, &QPushButton::clicked, this, &TfrmBackup::DoClearLog);
    connect(btnRefresh, &QPushButton::clicked, this, &TfrmBackup::DoRefresh);
}

// ---- what the window works with ------------------------------------------------------

TProfiles* TfrmBackup::ProfileList() const {
    return Context().backups != nullptr ? Context().backups->Profiles() : nullptr;
}

TBackupStore* TfrmBackup::Store() const {
    return Context().backups != nullptr ? Context().backups->Store() : nullptr;
}

TProfile* TfrmBackup::ShownProfile() const {
    TProfiles* list = ProfileList();
    if (m_shown == nullptr || list == nullptr || !list->Profiles().contains(m_shown)) {
        return nullptr;
    }
    return m_shown;
}

std::optional<TVersionRow> TfrmBackup::ResultVersion(const QTreeWidgetItem* item) const {
    if (item == nullptr) {
        return std::nullopt;
    }
    const auto found = m_versions.constFind(item->data(0, kVersionRole).toInt());
    if (found == m_versions.constEnd()) {
        return std::nullopt;
    }
    return *found;
}

TfrmBackup::TSortState& TfrmBackup::SortState() {
    static TSortState state;
    return state;
}

void TfrmBackup::ShowError(const QString& message) {
    Host().ShowStatus(message, false, kStatusError);
}

// ---- settings --------------------------------------------------------------------------

void TfrmBackup::LoadSettings() {
    const std::optional<TBarList> fields = LoadFields(kToolKey, kToolFields);
    if (!fields) {
        return;
    }
    m_loading = true;
    const QString catalogue = QString::fromUtf8((*fields)[0]);
    if (!catalogue.isEmpty()) {
        QString lines = catalogue;
        lines.replace(u'\r', u'\n');
        lbExts->clear();
        lbExts->addItems(lines.split(u'\n', Qt::SkipEmptyParts));
    }
    edtMask->setText(QString::fromUtf8((*fields)[1]));
    m_profileToShow = fields->Int(2, 0);
    mcFrom->setSelectedDate(DateOfDay(fields->Int(3, WholeDay(kDefaultFrom))));
    mcTo->setSelectedDate(DateOfDay(fields->Int(4, m_lastDay)));
    cbxChDate->setChecked((*fields)[5] == "1");
    m_loading = false;
    TProfiles* list = ProfileList();
    ShowProfile(list != nullptr ? list->FindById(m_profileToShow) : nullptr);
}

void TfrmBackup::SaveSettings() {
    const QStringList catalogue = ListTexts(lbExts);
    QByteArray lines;
    if (catalogue.size() <= kLongestStoredCatalogue) {
        for (const QString& line : catalogue) {
            lines += line.toUtf8() + "\r\n";
        }
    }
    const TProfile* shown = ShownProfile();
    SaveFields(kToolKey, {lines, edtMask->text().toUtf8(),
                          QByteArray::number(shown != nullptr ? shown->Number() : 0),
                          QByteArray::number(WholeDay(mcFrom->selectedDate())),
                          QByteArray::number(WholeDay(mcTo->selectedDate())),
                          cbxChDate->isChecked() ? QByteArray("1") : QByteArray("0")});
}

// ---- profile lists ---------------------------------------------------------------------

void TfrmBackup::FillProfileLists() {
    lbProfiles->clear();
    lbPros->clear();
    if (TProfiles* list = ProfileList()) {
        for (TProfile* profile : list->Profiles()) {
            AddProfileItems(profile);
        }
    }
    RepaintProfileLists();
}

void TfrmBackup::AddProfileItems(TProfile* profile) {
    const QSignalBlocker blockProfiles(lbProfiles);
    const QSignalBlocker blockPros(lbPros);
    lbProfiles->addItem(new TProfileItem(profile->Name(), profile->Number()));
    lbPros->addItem(new TProfileItem(profile->Name(), profile->Number()));
    lbProfiles->sortItems();
    lbPros->sortItems();
    RepaintProfileLists();
}

QListWidgetItem* TfrmBackup::ProfileItem(QListWidget* list, int profileNumber) const {
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->data(kProfileRole).toInt() == profileNumber) {
            return list->item(i);
        }
    }
    return nullptr;
}

void TfrmBackup::RepaintProfileLists() {
    TProfiles* list = ProfileList();
    for (QListWidget* names : {lbProfiles, lbPros}) {
        for (int i = 0; i < names->count(); ++i) {
            QListWidgetItem* item = names->item(i);
            const TProfile* profile =
                list != nullptr ? list->FindById(item->data(kProfileRole).toInt()) : nullptr;
            const TProfileState state =
                profile != nullptr ? ProfileState(*profile) : kStateNotReady;
            QFont font = names->font();
            font.setBold(state == kStateReady);
            item->setFont(font);
            item->setForeground(ProfileStateColour(state));
        }
        names->viewport()->update();
    }
}

// ---- the Profiles page -------------------------------------------------------------------

void TfrmBackup::EnableRunButtons(bool idle) {
    const TProfile* shown = ShownProfile();
    const bool store = Host().IsFlagSet(kFlagBackupsDatabase);
    const bool ready = shown != nullptr && shown->TestBit(kBitReady);
    btnFullBack->setEnabled(idle && ready && store);
    btnStart->setEnabled(idle && ready && store);
    btnDiscAll->setEnabled(idle && store);
    btnPrune->setEnabled(idle && store);
}

void TfrmBackup::ShowProfile(TProfile* profile) {
    TProfiles* list = ProfileList();
    if (ShownProfile() != nullptr && list != nullptr) {
        list->SaveAll(false);
    }
    m_loading = true;
    lbABack->clear();
    lbASkip->clear();
    lbNevDis->clear();
    lbMasks->clear();
    edtTarget->SetCaption(QString());
    edtCustom->clear();
    cbSkip->setCurrentIndex(0);
    cbDiscard->setCurrentIndex(0);
    m_shown = profile;
    const bool idle = profile != nullptr && !profile->TestBit(kBitActive);
    btnStop->setEnabled(profile != nullptr && profile->TestBit(kBitActive));
    btnDelete->setEnabled(idle);
    // Renaming changes a setting the profile's threads read: only while it is idle.
    btnRename->setEnabled(idle);
    pnlData->setEnabled(idle);
    SetChildrenEnabled(pnlData, idle);
    EnableRunButtons(idle);
    if (profile == nullptr) {
        clbIgFold->clear();
        m_loading = false;
        return;
    }
    if (QListWidgetItem* item = ProfileItem(lbProfiles, profile->Number());
        item != nullptr && lbProfiles->currentItem() != item) {
        const QSignalBlocker block(lbProfiles);
        lbProfiles->setCurrentItem(item);
        m_profileIndex = lbProfiles->row(item);
    }
    edtTarget->SetCaption(profile->Target());
    FillMasks();
    const QList<QCheckBox*> boxes = {cbxAutoStart, cbxDetLog, cbxPriority, cbxNoZero,
                                     cbxRecurse,   cbxTetu,   cbxClassic};
    for (int bit = 0; bit < boxes.size(); ++bit) {
        boxes[bit]->setChecked(profile->TestBit(bit));
    }
    cbSkip->setCurrentIndex(profile->SizeLimitIndex());
    cbDiscard->setCurrentIndex(profile->DiscardRule());
    cbPrior->setCurrentIndex(profile->PriorityOrder());
    for (int tag = 0; tag < 3; ++tag) {
        FillOverrideList(tag);
    }
    m_loading = false;
    FillIgnoreList();
}

void TfrmBackup::FillMasks() {
    lbMasks->clear();
    if (const TProfile* shown = ShownProfile()) {
        lbMasks->addItems(shown->Extensions());
    }
}

QListWidget* TfrmBackup::OverrideList(int tag) const {
    switch (tag) {
        case kAlwaysBackup:
            return lbABack;
        case kAlwaysSkip:
            return lbASkip;
        default:
            return lbNevDis;
    }
}

QLineEdit* TfrmBackup::OverrideEdit(int tag) const {
    switch (tag) {
        case kAlwaysBackup:
            return edtABack;
        case kAlwaysSkip:
            return edtASkip;
        default:
            return edtNevDis;
    }
}

void TfrmBackup::FillOverrideList(int tag) {
    QListWidget* list = OverrideList(tag);
    list->clear();
    if (const TProfile* shown = ShownProfile()) {
        list->addItems(shown->OverrideList(tag));
    }
}

void TfrmBackup::SetIdleState(bool idle) {
    pnlData->setEnabled(idle);
    SetChildrenEnabled(pnlData, idle);
    EnableRunButtons(idle);
    btnStop->setEnabled(!idle);
    btnDelete->setEnabled(idle);
    btnRename->setEnabled(idle);
    RepaintProfileLists();
    EmptyResults();
}

void TfrmBackup::ApplyExtensions(const QStringList& lines) {
    TProfile* shown = ShownProfile();
    if (shown == nullptr) {
        return;
    }
    const QString before = shown->ExtensionsText();
    shown->SetExtensions(lines.join(QStringLiteral("\r\n")));
    try {
        shown->CheckBlobFits();
    } catch (const EQuiva& error) {
        shown->SetExtensions(before);
        FillMasks();
        ShowError(error.Message());
        return;
    }
    shown->RecheckReady();
    RepaintProfileLists();
    cbxAutoStart->setChecked(shown->TestBit(kBitAutostart));
    EnableRunButtons(!shown->TestBit(kBitActive));
}

void TfrmBackup::FillIgnoreList() {
    m_loading = true;
    clbIgFold->clear();
    if (const TProfile* shown = ShownProfile()) {
        const QStringList ignored = shown->IgnoreList();
        for (const QString& name : shown->ListSubfolders()) {
            auto* item = new QListWidgetItem(name, clbIgFold);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(ignored.contains(name, Qt::CaseInsensitive) ? Qt::Checked
                                                                            : Qt::Unchecked);
        }
    }
    m_loading = false;
}

void TfrmBackup::RefreshProfile(int profileNumber) {
    // A busy action puts back the enabled states it found when it ends: the refresh waits
    // for that.
    if (Panel() != nullptr && Panel()->IsBusy()) {
        QTimer::singleShot(kBusyRetryMs, this,
                           [this, profileNumber] { RefreshProfile(profileNumber); });
        return;
    }
    const TProfile* shown = ShownProfile();
    if (shown != nullptr && shown->Number() == profileNumber) {
        SetIdleState(true);
    } else {
        RepaintProfileLists();
    }
    // What a full backup did, skipped files included.
    const TProfiles* list = ProfileList();
    const TProfile* ended = list != nullptr ? list->FindById(profileNumber) : nullptr;
    if (ended != nullptr && ended->RunMode() == kWorkerFullBackup && !ended->TestBit(kBitActive)) {
        const TProfile::TRunCounts counts = ended->RunCounts();
        Host().ShowStatus(QStringLiteral("%1: %2").arg(ended->Name(), RunSummaryText(counts)),
                          false, counts.failed > 0 ? kStatusNotice : kStatusCompletion);
    }
}

void TfrmBackup::DoSelProf() {
    QListWidgetItem* item = lbProfiles->currentItem();
    TProfiles* list = ProfileList();
    if (item == nullptr || list == nullptr) {
        return;
    }
    m_profileIndex = lbProfiles->row(item);
    TProfile* profile = list->FindById(item->data(kProfileRole).toInt());
    if (profile != ShownProfile()) {
        ShowProfile(profile);
    }
}

void TfrmBackup::DoAdd() {
    TProfiles* list = ProfileList();
    if (list == nullptr) {
        return;
    }
    try {
        list->CheckRoomForProfile();
    } catch (const EQuiva& error) {
        ShowError(error.Message());
        return;
    }
    TProfile* profile = list->NewProfile();
    AddProfileItems(profile);
    ShowProfile(profile);
}

void TfrmBackup::DoDelete() {
    TProfile* shown = ShownProfile();
    TProfiles* list = ProfileList();
    if (shown == nullptr || list == nullptr) {
        return;
    }
    if (!AskYesNo(QStringLiteral("Delete \"%1\" and associated backups?").arg(shown->Name()),
                  kHelpContext)) {
        return;
    }
    const int number = shown->Number();
    const int before = list->Count();
    // The profile goes with its stored row; when that row stays, so does everything else.
    if (list->DeleteProfile(shown) == before) {
        return;
    }
    m_shown = nullptr;
    {
        const QSignalBlocker blockProfiles(lbProfiles);
        const QSignalBlocker blockPros(lbPros);
        delete ProfileItem(lbPros, number);
        delete ProfileItem(lbProfiles, number);
        lbProfiles->setCurrentItem(nullptr);
    }
    m_profileIndex = -1;
    EmptyResults();
    ShowProfile(nullptr);
    m_selectedVersion = 0;
    list->SaveAll(false);
}

void TfrmBackup::DoRename() {
    TProfile* shown = ShownProfile();
    TProfiles* list = ProfileList();
    if (shown == nullptr || list == nullptr || shown->TestBit(kBitActive)) {
        return;
    }
    const QString name = edtMoni->text();
    try {
        TProfiles::CheckName(name);
    } catch (const EQuiva& error) {
        ShowError(error.Message());
        return;
    }
    // A name in use (in any case) changes nothing, and says why.
    if (!list->IsNameFree(shown, name)) {
        ShowError(QStringLiteral("A profile named %1 exists already").arg(name));
        return;
    }
    if (!Stores().DeleteProfileRow(shown->Name().toUtf8())) {
        return;
    }
    shown->SetName(name);
    for (QListWidget* names : {lbProfiles, lbPros}) {
        if (QListWidgetItem* item = ProfileItem(names, shown->Number())) {
            item->setText(name);
        }
        names->sortItems();
    }
    m_profileIndex = lbProfiles->currentRow();
    list->SaveAll(false);
}

void TfrmBackup::DoStartMon() {
    TProfile* shown = ShownProfile();
    if (shown == nullptr) {
        return;
    }
    try {
        if (shown->StartMonitoring()) {
            SetIdleState(false);
        } else {
            RepaintProfileLists();
        }
    } catch (const EQuiva& error) {
        ShowError(error.Message());
    }
}

void TfrmBackup::DoStop() {
    if (TProfile* shown = ShownProfile()) {
        shown->Stop();
        SetIdleState(true);
    }
}

void TfrmBackup::DoFullBackup() {
    TProfile* shown = ShownProfile();
    if (shown == nullptr) {
        return;
    }
    Host().ShowStatus(
        QStringLiteral("Full backup runs as a background task. You can continue working as usual"),
        false, kStatusNotice);
    try {
        (void)shown->StartFullBackup();
        SetIdleState(false);
    } catch (const EQuiva& error) {
        ShowError(error.Message());
    }
}

void TfrmBackup::DoPrune() {
    TProfile* shown = ShownProfile();
    if (shown == nullptr) {
        return;
    }
    try {
        (void)shown->StartPrune();
        SetIdleState(false);
    } catch (const EQuiva& error) {
        ShowError(error.Message());
    }
}

void TfrmBackup::DoDiscall() {
    TProfile* shown = ShownProfile();
    TBackupStore* store = Store();
    if (shown == nullptr || store == nullptr) {
        return;
    }
    if (!AskYesNo(QStringLiteral("Delete ALL the backups under this profile?"),
                  kDiscardAllHelpContext)) {
        return;
    }
    TToolPanel* panel = Panel();
    if (panel != nullptr) {
        panel->BeginBusy(QStringLiteral("Discarding backups..."), kBusyFade, kStatusInfo);
    }
    try {
        store->DeleteAllVersions(shown->Number());
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
        return;
    }
    if (panel != nullptr) {
        panel->EndBusy(QString(), kBusyKeep, kStatusInfo);
    }
    EmptyResults();
}

void TfrmBackup::DoBrowse() {
    TProfile* shown = ShownProfile();
    if (shown == nullptr) {
        return;
    }
    const std::optional<QString> picked = AskTargetFolder ? AskTargetFolder() : std::nullopt;
    if (!picked || picked->isEmpty() || !IsFolder(*picked)) {
        return;
    }
    const QString folder = WithTrailingSlash(*picked);
    try {
        RejectOwnFolders(folder,
                         {Host().ProgramFolder(), Host().DataFolder(), Host().LogsFolder()});
    } catch (const EQuiva& error) {
        ShowError(error.Message());
        return;
    }
    edtTarget->SetCaption(folder);
    shown->SetTarget(folder);
    FillIgnoreList();
    cbxAutoStart->setChecked(shown->TestBit(kBitAutostart));
    EnableRunButtons(!shown->TestBit(kBitActive));
    RepaintProfileLists();
}

void TfrmBackup::DoAddExt() {
    const QList<QListWidgetItem*> selected = lbExts->selectedItems();
    if (selected.isEmpty()) {
        ShowError(QStringLiteral("First select some file extensions to add!"));
        return;
    }
    for (const QListWidgetItem* item : selected) {
        if (!ListHas(lbMasks, item->text())) {
            lbMasks->addItem(item->text());
        }
    }
    ApplyExtensions(ListTexts(lbMasks));
}

void TfrmBackup::DoRemExt() {
    const QList<QListWidgetItem*> selected = lbMasks->selectedItems();
    if (selected.isEmpty()) {
        ShowError(QStringLiteral("First select some file extensions to remove!"));
        return;
    }
    for (int i = lbMasks->count() - 1; i >= 0; --i) {
        if (lbMasks->item(i)->isSelected()) {
            delete lbMasks->takeItem(i);
        }
    }
    ApplyExtensions(ListTexts(lbMasks));
}

void TfrmBackup::AddCatalogueEntry(const QString& extension) {
    if (!ListHas(lbExts, extension)) {
        lbExts->addItem(extension);
    }
}

void TfrmBackup::DoAddCustom() {
    const QString extension = QLatin1Char('.') + edtCustom->text();
    if (extension == QLatin1String(".")) {
        ShowError(QStringLiteral("First provide a custom file extension to add!"));
        return;
    }
    if (ListHas(lbMasks, extension)) {
        ShowError(QStringLiteral("%1 is already being monitored").arg(extension));
        return;
    }
    AddCatalogueEntry(extension);
    lbMasks->addItem(extension);
    ApplyExtensions(ListTexts(lbMasks));
}

void TfrmBackup::FlagsMU(int tag) {
    TProfile* shown = ShownProfile();
    const QList<QCheckBox*> boxes = {cbxAutoStart, cbxDetLog, cbxPriority, cbxNoZero,
                                     cbxRecurse,   cbxTetu,   cbxClassic};
    if (shown == nullptr || tag < 0 || tag >= boxes.size()) {
        return;
    }
    QCheckBox* box = boxes[tag];
    try {
        shown->SetBit(tag, box->isChecked());
    } catch (const EQuiva& error) {
        ShowError(error.Message());
        box->setChecked(false);
    }
}

void TfrmBackup::DoSetSkip() {
    if (TProfile* shown = ShownProfile(); shown != nullptr && !m_loading) {
        shown->SetSizeLimit(cbSkip->currentIndex());
    }
}

void TfrmBackup::DoSetRule() {
    if (TProfile* shown = ShownProfile(); shown != nullptr && !m_loading) {
        shown->SetDiscardRule(cbDiscard->currentIndex());
    }
}

void TfrmBackup::DoSetPrior() {
    if (TProfile* shown = ShownProfile(); shown != nullptr && !m_loading) {
        shown->SetPriorityOrder(cbPrior->currentIndex());
    }
}

void TfrmBackup::DoAddBSN(int tag) {
    TProfile* shown = ShownProfile();
    if (shown == nullptr || tag < 0 || tag > 2) {
        return;
    }
    QListWidget* list = OverrideList(tag);
    const QString text = OverrideEdit(tag)->text();
    try {
        if (text.isEmpty()) {
            RaiseError(QStringLiteral("First provide an entry to add!"));
        }
        if (ListHas(list, text)) {
            RaiseError(QStringLiteral("%1 is already included").arg(text));
        }
        for (const char* sequence : {"..", "**", "*?", "?*"}) {
            RejectSequence(QString::fromLatin1(sequence), text);
        }
        const bool pureWildcard = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
            return c == u'*' || c == u'.' || c == u'?';
        });
        if (pureWildcard) {
            RaiseError(QStringLiteral("Pure wildcard patterns not allowed here"));
        }
        const QStringList before = shown->OverrideList(tag);
        shown->SetOverrideListFrom(tag, ListTexts(list) << text);
        try {
            shown->CheckBlobFits();
        } catch (const EQuiva&) {
            shown->SetOverrideListFrom(tag, before);
            throw;
        }
        list->addItem(text);
    } catch (const EQuiva& error) {
        ShowError(error.Message());
    }
}

void TfrmBackup::DoRemBSN(int tag) {
    TProfile* shown = ShownProfile();
    if (shown == nullptr || tag < 0 || tag > 2) {
        return;
    }
    QListWidget* list = OverrideList(tag);
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) {
        ShowError(QStringLiteral("First select something to remove!"));
        return;
    }
    delete list->takeItem(list->row(selected.first()));
    shown->SetOverrideListFrom(tag, ListTexts(list));
}

void TfrmBackup::IgFoldMU() {
    TProfile* shown = ShownProfile();
    if (shown == nullptr || m_loading) {
        return;
    }
    QStringList checked;
    for (int i = 0; i < clbIgFold->count(); ++i) {
        if (clbIgFold->item(i)->checkState() == Qt::Checked) {
            checked << clbIgFold->item(i)->text();
        }
    }
    const QStringList before = shown->IgnoreList();
    shown->SetIgnoreList(checked.join(QChar(kListSeparator)));
    try {
        shown->CheckBlobFits();
    } catch (const EQuiva& error) {
        shown->SetIgnoreList(before.join(QChar(kListSeparator)));
        FillIgnoreList();
        ShowError(error.Message());
    }
}

// ---- the Backups Manager page ----------------------------------------------------------

void TfrmBackup::EmptyResults() {
    lvResults->clear();
    m_versions.clear();
}

void TfrmBackup::AddResult(const TVersionRow& row) {
    auto* item = new TSortItem(lvResults);
    // Names are shown on one line whatever they hold; the version keeps their bytes.
    item->setText(0, PrintableName(row.file));
    item->setText(1, PrintableName(row.Extension()));
    item->setText(2, PrintableName(row.folder));
    item->setText(kResultSizeColumn, FormatThousands(QString(), quint64(row.size), QString()));
    item->setText(kResultDateColumn, row.DateText());
    item->setData(kResultSizeColumn, kSortKeyRole, double(row.size));
    item->setData(kResultDateColumn, kSortKeyRole, row.date);
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(kResultSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(0, kVersionRole, row.versionId);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
    m_versions.insert(row.versionId, row);
}

void TfrmBackup::DoSelBrowseProf() {
    const int index = lbPros->currentRow();
    if (index != m_browseIndex) {
        EmptyResults();
        m_browseIndex = index;
    }
}

void TfrmBackup::DoSearch() {
    TProfiles* list = ProfileList();
    TBackupStore* store = Store();
    QString mask = edtMask->text();
    if (mask.isEmpty()) {
        mask = QStringLiteral("%");
    }
    const QList<QListWidgetItem*> selected = lbPros->selectedItems();
    const TProfile* profile = selected.isEmpty() || list == nullptr
                                  ? nullptr
                                  : list->FindById(selected.first()->data(kProfileRole).toInt());
    try {
        if (profile == nullptr || store == nullptr) {
            RaiseError(QStringLiteral("First select a profile to browse!"));
        }
        RejectSequence(QStringLiteral("%%"), mask);
        RejectSequence(QStringLiteral("%_"), mask);
    } catch (const EQuiva& error) {
        ShowError(error.Message());
        return;
    }
    const int first = WholeDay(mcFrom->selectedDate());
    const int dayAfterLast = WholeDay(mcTo->selectedDate()) + 1;
    if (dayAfterLast < first) {
        ShowError(QStringLiteral("Invalid date range"));
        return;
    }
    EmptyResults();
    TToolPanel* panel = Panel();
    if (panel != nullptr) {
        panel->BeginBusy(QStringLiteral("Browsing..."), kBusyHold, kStatusInfo);
    }
    QList<TVersionRow> rows;
    try {
        (void)store->SearchVersions(profile->Number(), first, mask, dayAfterLast, rows);
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
        return;
    }
    for (const TVersionRow& row : std::as_const(rows)) {
        AddResult(row);
    }
    const int count = lvResults->topLevelItemCount();
    const QString done =
        count == 0 ? QStringLiteral("No Matches") : ItemCountText(count, "1 Match", "%1 matches");
    if (panel != nullptr) {
        panel->EndBusy(done, kBusyFade, kStatusCompletion);
    }
}

void TfrmBackup::WhenResSelect() {
    const QTreeWidgetItem* item = lvResults->currentItem();
    m_selectedVersion = item != nullptr ? item->data(0, kVersionRole).toInt() : 0;
}

void TfrmBackup::DoCheckUnCheck() {
    if (lvResults->topLevelItemCount() == 0) {
        ShowError(QStringLiteral("The results list is empty!"));
        return;
    }
    for (int i = 0; i < lvResults->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvResults->topLevelItem(i);
        item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
}

void TfrmBackup::DoDiscard() {
    TBackupStore* store = Store();
    if (lvResults->topLevelItemCount() == 0 || store == nullptr) {
        ShowError(QStringLiteral("The results list is empty!"));
        return;
    }
    bool anyChecked = false;
    for (int i = 0; i < lvResults->topLevelItemCount(); ++i) {
        anyChecked = anyChecked || lvResults->topLevelItem(i)->checkState(0) == Qt::Checked;
    }
    if (!anyChecked) {
        ShowError(QStringLiteral("First select a few backups to discard!"));
        return;
    }
    TToolPanel* panel = Panel();
    if (panel != nullptr) {
        panel->BeginBusy(QStringLiteral("Discarding selected backups..."), kBusyFade, kStatusInfo);
    }
    QString failure;
    for (int i = lvResults->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* item = lvResults->topLevelItem(i);
        if (item == nullptr || item->checkState(0) != Qt::Checked) {
            continue;
        }
        const int versionId = item->data(0, kVersionRole).toInt();
        try {
            store->DeleteVersion(versionId);
            m_versions.remove(versionId);
            delete item;
            if (versionId == m_selectedVersion) {
                m_selectedVersion = 0;
            }
        } catch (const EQuiva& error) {
            failure = error.Message();
            ShowError(failure);
        }
    }
    if (panel != nullptr) {
        panel->EndBusy(failure, failure.isEmpty() ? kBusyKeep : kBusyHold,
                       failure.isEmpty() ? kStatusInfo : kStatusError);
    }
}

QList<QTreeWidgetItem*> TfrmBackup::CollectItems() const {
    QList<QTreeWidgetItem*> items;
    for (int i = 0; i < lvResults->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvResults->topLevelItem(i);
        if (item->isSelected() || item->checkState(0) == Qt::Checked) {
            items << item;
        }
    }
    return items;
}

void TfrmBackup::DoRestore() {
    WriteCollected(false);
}

void TfrmBackup::DoExtract() {
    WriteCollected(true);
}

void TfrmBackup::WriteCollected(bool extract) {
    const QString action = extract ? QStringLiteral("extract") : QStringLiteral("restore");
    const QList<QTreeWidgetItem*> items = CollectItems();
    if (items.isEmpty()) {
        ShowError(lvResults->topLevelItemCount() > 0
                      ? QStringLiteral("First select something to %1!").arg(action)
                      : QStringLiteral("First browse for something to %1!").arg(action));
        return;
    }
    for (const QTreeWidgetItem* item : items) {
        m_collected << item->data(0, kVersionRole).toInt();
    }
    TBackupStore* store = Store();
    TProfiles* list = ProfileList();
    const QByteArray password = PasswordBytes(edtPwd->text());
    int written = 0;
    bool failed = false;
    QStringList kept;
    for (const int versionId : std::as_const(m_collected)) {
        const auto found = m_versions.constFind(versionId);
        if (found == m_versions.constEnd() || store == nullptr) {
            continue;
        }
        const TVersionRow& version = *found;
        QString folder = version.folder;
        QString name = version.file;
        if (extract) {
            const QString chosen =
                AskDestination
                    ? AskDestination(m_extractFolder, version.Extension().mid(1), version.file)
                    : QString();
            if (chosen.isEmpty()) {
                break;
            }
            const qsizetype slash = chosen.lastIndexOf(u'/');
            folder = chosen.left(slash + 1);
            name = chosen.mid(slash + 1);
            m_extractFolder = folder;
        }
        // A failure before anything is written ends the whole operation; one while a file
        // is written is shown, and the next item follows.
        QByteArray content;
        try {
            if (!extract && !IsPlainStoredFolder(folder)) {
                RaiseError(QStringLiteral("Invalid backup data"));
            }
            content = LoadVersionContent(*store, version, password);
            if (!extract && list != nullptr) {
                // What the restore replaces is kept as a version first when none holds it.
                const TRestoreSafety safety{*list, TBlobKeys::FromHash(Stores().PasswordHash())};
                if (const int id = KeepReplacedContent(*store, safety, version, folder, name,
                                                       content, password)) {
                    kept << KeptContentText(folder + name, id);
                }
            }
        } catch (const EQuiva& error) {
            ShowError(error.Message());
            failed = true;
            break;
        }
        QString message;
        const TVersionWriteResult result =
            WriteVersionContent(version, folder, name, content, cbxChDate->isChecked(), message);
        if (result == kVersionWritten) {
            ++written;
            continue;
        }
        ShowError(message);
        failed = true;
        if (result == kVersionNoFolder || result == kVersionBadName) {
            break;
        }
    }
    m_collected.clear();
    if (!failed && written > 0) {
        QString text = extract ? ItemCountText(written, "1 file extracted", "%1 files extracted")
                               : ItemCountText(written, "1 file restored", "%1 files restored");
        if (!kept.isEmpty()) {
            text += QStringLiteral("; ") + kept.join(QStringLiteral("; "));
        }
        Host().ShowStatus(text, !kept.isEmpty(), kStatusCompletion);
    } else if (!kept.isEmpty()) {
        Host().ShowStatus(kept.join(QStringLiteral("; ")), true, kStatusNotice);
    }
}

void TfrmBackup::DoHistory() {
    TBackupStore* store = Store();
    const std::optional<TVersionRow> version = ResultVersion(lvResults->currentItem());
    if (!version || store == nullptr) {
        return;
    }
    QList<TVersionRow> rows;
    try {
        rows = store->FileVersions(version->profileNumber, version->pathId);
    } catch (const EQuiva& error) {
        ShowError(error.Message());
        return;
    }
    EmptyResults();
    for (const TVersionRow& row : std::as_const(rows)) {
        AddResult(row);
    }
    if (lvResults->topLevelItemCount() > 0) {
        lvResults->setCurrentItem(lvResults->topLevelItem(0));
    }
    Host().ShowStatus(
        QStringLiteral("%1 of %2, newest first")
            .arg(ItemCountText(static_cast<int>(rows.size()), "1 version", "%1 versions"),
                 PrintableName(version->file)),
        false, kStatusCompletion);
}

// ---- sorting and the log -----------------------------------------------------------------

void TfrmBackup::WhenCClick(QTreeWidget* list, int column) {
    TSortState& state = SortState();
    if (column == state.column) {
        state.descending = !state.descending;
    } else {
        state.column = column;
    }
    list->sortItems(column, state.descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TfrmBackup::PeriodicCheck() {
    lvLog->clear();
    TProfiles* list = ProfileList();
    if (list == nullptr) {
        return;
    }
    const QString text = list->Log().ReadLog();
    QList<QTreeWidgetItem*> items;
    for (const TLogEntry& entry : TBackupLog::ParseLog(text)) {
        auto* item = new TSortItem(QStringList({entry.when, entry.event, entry.reason}));
        item->setData(kLogDateColumn, kSortKeyRole, LogTimeKey(entry.when));
        items << item;
    }
    lvLog->addTopLevelItems(items);
    if (TBackupLog::CountLines(text) > kMostLogLines) {
        list->Log().OpenNewLog();
    }
}

void TfrmBackup::DoClearLog() {
    if (TProfiles* list = ProfileList()) {
        list->Log().OpenNewLog();
    }
    lvLog->clear();
}

void TfrmBackup::DoRefresh() {
    PeriodicCheck();
}
