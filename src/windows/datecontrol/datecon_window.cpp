#include "windows/datecontrol/datecon_window.h"

#include "base/day_number.h"
#include "base/errors.h"
#include "base/host.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "script/script_runner.h"
#include "tools/datecontrol/date_changer.h"
#include "ui/ell_path.h"
#include "ui/window_parts.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kClientWidth = 684;
constexpr int kClientHeight = 573;
constexpr int kMaskLength = 7;
const QColor kMemoColour(234, 234, 255);

}  // namespace

TfrmDateCon::TfrmDateCon(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    pnlDir = MakePanel(this, "pnlDir");
    lblSource = Named(new QLabel(QStringLiteral("Source Directory"), pnlDir), "lblSource");
    stSource = Named(new TEllPath(pnlDir), "stSource");
    sbnBrowse = MakeBrowseButton(pnlDir, "sbnBrowse");
    bvlOne = Named(new QFrame(pnlDir), "bvlOne");
    bvlOne->setFrameShape(QFrame::HLine);
    bvlOne->setFrameShadow(QFrame::Sunken);
    lblMask = Named(new QLabel(QStringLiteral("File Mask"), pnlDir), "lblMask");
    edtMask = Named(new QLineEdit(QStringLiteral("*.jpg"), pnlDir), "edtMask");
    edtMask->setMaxLength(kMaskLength);
    edtMask->setFixedWidth(80);

    const char* const groupNames[3] = {"gbCD", "gbLAD", "gbLMD"};
    const char* const calendarNames[3] = {"mcCD", "mcLAD", "mcLMD"};
    const char* const pickerNames[3] = {"dtpCD", "dtpLAD", "dtpLMD"};
    const char* const boxNames[3] = {"cbxNoCD", "cbxNoLAD", "cbxNoLMD"};
    const QString titles[3] = {QStringLiteral("Creation Date"), QStringLiteral("Last Access Date"),
                               QStringLiteral("Last Modification Date")};
    auto* groupsRow = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        auto* column = new QVBoxLayout;
        m_groups[i] = Named(new QGroupBox(titles[i], pnlDir), groupNames[i]);
        m_calendars[i] = Named(new QCalendarWidget(m_groups[i]), calendarNames[i]);
        m_calendars[i]->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
        m_pickers[i] = Named(new QTimeEdit(m_groups[i]), pickerNames[i]);
        m_pickers[i]->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        auto* inside = new QVBoxLayout(m_groups[i]);
        inside->addWidget(m_calendars[i]);
        inside->addWidget(m_pickers[i]);
        // The box stays outside its group, so that it stays usable while the group is not.
        m_keepBoxes[i] = Named(new QCheckBox(QStringLiteral("Don't Change"), pnlDir), boxNames[i]);
        m_keepBoxes[i]->setProperty("Tag", i);
        column->addWidget(m_groups[i]);
        column->addWidget(m_keepBoxes[i]);
        groupsRow->addLayout(column);
    }
    gbCD = m_groups[kCreation];
    gbLAD = m_groups[kAccess];
    gbLMD = m_groups[kModification];
    mcCD = m_calendars[kCreation];
    mcLAD = m_calendars[kAccess];
    mcLMD = m_calendars[kModification];
    dtpCD = m_pickers[kCreation];
    dtpLAD = m_pickers[kAccess];
    dtpLMD = m_pickers[kModification];
    cbxNoCD = m_keepBoxes[kCreation];
    cbxNoLAD = m_keepBoxes[kAccess];
    cbxNoLMD = m_keepBoxes[kModification];

    memoResults = Named(new QPlainTextEdit(pnlDir), "memoResults");
    memoResults->setReadOnly(true);
    memoResults->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette memoPalette = memoResults->palette();
    memoPalette.setColor(QPalette::Base, kMemoColour);
    memoResults->setPalette(memoPalette);

    auto* dirGrid = new QGridLayout(pnlDir);
    dirGrid->setContentsMargins(6, 4, 6, 4);
    dirGrid->addWidget(lblSource, 0, 0, 1, 2);
    dirGrid->addWidget(stSource, 1, 0);
    dirGrid->addWidget(sbnBrowse, 1, 1);
    dirGrid->addWidget(bvlOne, 2, 0, 1, 2);
    auto* maskRow = new QHBoxLayout;
    maskRow->addWidget(lblMask);
    maskRow->addWidget(edtMask);
    maskRow->addStretch();
    dirGrid->addLayout(maskRow, 3, 0, 1, 2);
    dirGrid->addLayout(groupsRow, 4, 0, 1, 2);
    dirGrid->addWidget(memoResults, 5, 0, 1, 2);
    dirGrid->setRowStretch(5, 1);

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReset = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReset");
    btnChange = Named(new QPushButton(QStringLiteral("Change"), pnlBtns), "btnChange");
    auto* buttonRow = new QHBoxLayout(pnlBtns);
    buttonRow->setContentsMargins(6, 4, 6, 4);
    buttonRow->addWidget(btnReset);
    buttonRow->addStretch();
    buttonRow->addWidget(btnChange);

    layout->addWidget(pnlDir, 1);
    layout->addWidget(pnlBtns);

    SetHint(sbnBrowse, QStringLiteral("Browse|Select Source Directory"));
    SetHint(stSource, QStringLiteral("|Target files from this directory"));
    SetHint(edtMask, QStringLiteral("|e.g. *.*, *.jpg, *.pdf..."));
    SetHint(mcCD, QStringLiteral("|File Creation Date"));
    SetHint(dtpCD, QStringLiteral("|File Creation Time"));
    SetHint(mcLAD, QStringLiteral("|Last Access Date"));
    SetHint(dtpLAD, QStringLiteral("|Last Access Time"));
    SetHint(cbxNoLAD, QStringLiteral("|Check to leave last access date unchanged"));
    SetHint(cbxNoLMD, QStringLiteral("|Check to leave last modification date unchanged"));
    SetHint(memoResults,
            QStringLiteral("Failures|Errors during timestamp changes are listed here."));
    SetHint(btnReset, QStringLiteral("|Reset"));
    SetHint(btnChange, QStringLiteral("|Change timestamps"));

    AskFolder = [this] { return PickFolder(QStringLiteral("Select Source Folder"), {}); };
    IsFatFolder = [](const QString& folder) { return IsFatVolume(folder); };

    connect(sbnBrowse, &QToolButton::clicked, this, &TfrmDateCon::DoDestBrowse);
    for (int i = 0; i < 3; ++i) {
        connect(m_keepBoxes[i], &QCheckBox::clicked, this, [this, i] { DontMU(i); });
        connect(m_calendars[i], &QCalendarWidget::currentPageChanged, this,
                [this, i](int year, int month) { FollowPage(i, year, month); });
    }
    connect(btnReset, &QPushButton::clicked, this, &TfrmDateCon::DoReSet);
    connect(btnChange, &QPushButton::clicked, this, &TfrmDateCon::DoChange);

    stSource->SetCaption(PathSlots[0]);
    SetDateRange();
    SetAllToNow();
    LockCreation();
}

void TfrmDateCon::LockCreation() {
    // Linux keeps a file's birth time to itself: the group shows it cannot be changed.
    cbxNoCD->setChecked(true);
    cbxNoCD->setEnabled(false);
    SetHint(cbxNoCD, QString::fromUtf8(kDateCreationHint));
    SetHint(gbCD, QString::fromUtf8(kDateCreationHint));
    SetChildrenEnabled(gbCD, false);
}

void TfrmDateCon::SetAllToNow() {
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 3; ++i) {
        SetMoment(i, now);
    }
}

QDateTime TfrmDateCon::Moment(int group) const {
    return QDateTime(m_calendars[group]->selectedDate(), m_pickers[group]->time());
}

void TfrmDateCon::SetMoment(int group, const QDateTime& moment) {
    m_calendars[group]->setSelectedDate(moment.date());
    m_pickers[group]->setTime(
        QTime(moment.time().hour(), moment.time().minute(), moment.time().second()));
}

void TfrmDateCon::FollowPage(int group, int year, int month) {
    QCalendarWidget* calendar = m_calendars[group];
    const QDate selected = calendar->selectedDate();
    if (selected.year() == year && selected.month() == month) {
        return;
    }
    // The same day of the month shown (the month's last when it is shorter), within the
    // range; a page of no selectable day keeps the nearest one the range allows.
    const int day = std::min(selected.day(), QDate(year, month, 1).daysInMonth());
    calendar->setSelectedDate(
        std::clamp(QDate(year, month, day), calendar->minimumDate(), calendar->maximumDate()));
}

void TfrmDateCon::SetDateRange() {
    const bool fat = IsFatFolder ? IsFatFolder(PathSlots[0]) : true;
    const TDateRange range = DateRangeIn(PathSlots[0], fat);
    for (QCalendarWidget* calendar : m_calendars) {
        calendar->setDateRange(range.first, range.last);
    }
    Host().ShowStatus(QString::fromUtf8(fat ? kDateFatRangeMessage : kDateWideRangeMessage), false,
                      kStatusError);
}

void TfrmDateCon::DoDestBrowse() {
    const std::optional<QString> folder = AskFolder ? AskFolder() : std::nullopt;
    if (!folder || folder->isEmpty() || !IsFolder(*folder)) {
        return;
    }
    PathSlots[0] = *folder;
    stSource->SetCaption(PathSlots[0]);
    SetDateRange();
}

void TfrmDateCon::DontMU(int tag) {
    if (tag < 0 || tag > 2) {
        return;
    }
    if (tag == kCreation) {
        LockCreation();
        return;
    }
    SetChildrenEnabled(m_groups[tag], !m_keepBoxes[tag]->isChecked());
}

void TfrmDateCon::DoReSet() {
    SetAllToNow();
    PathSlots[0] = WindowsFolder();
    stSource->SetCaption(PathSlots[0]);
    edtMask->setText(QStringLiteral("*.jpg"));
    for (int i = kAccess; i <= kModification; ++i) {
        m_keepBoxes[i]->setChecked(false);
        SetChildrenEnabled(m_groups[i], true);
    }
    LockCreation();
}

void TfrmDateCon::DoChange() {
    memoResults->clear();
    const QString mask = edtMask->text();
    const QString folder = PathSlots[0];
    const bool changeAccess = !cbxNoLAD->isChecked();
    const bool changeModification = !cbxNoLMD->isChecked();
    try {
        CheckDateRequest(changeAccess || changeModification, mask, folder);
    } catch (const EQuiva& error) {
        Host().ShowStatus(error.Message(), false, kStatusError);
        return;
    }
    // The mask check script decides what a mask may be; its answer is shown as it is.
    QByteArray value = mask.toLocal8Bit();
    QByteArray refusal;
    if (TScriptRunner* scripts = Context().scripts) {
        scripts->RunScript("gfm", "fm", value, refusal);
    } else {
        refusal = "FS_PHPE. Please contact us";
    }
    try {
        Host().FailWith(refusal);
    } catch (const EQuiva&) {
        return;
    }

    Panel()->BeginBusy(QString::fromUtf8(kDateChangingText), kBusyHold, kStatusInfo);
    try {
        const QStringList paths = ListDateTargets(folder, mask, false);
        if (paths.isEmpty()) {
            RaiseError(QString::fromUtf8(kDateNoFilesMessage));
        }
        const auto fileTime = [this](int group) {
            return DateTimeToFileTimeUtc(DayFractionFromTime(m_pickers[group]->time()),
                                         DayNumberFromDate(m_calendars[group]->selectedDate()));
        };
        std::optional<TFileTime> accessed;
        std::optional<TFileTime> modified;
        if (changeAccess) {
            accessed = fileTime(kAccess);
        }
        if (changeModification) {
            modified = fileTime(kModification);
        }
        const TDateResult result = ApplyDates(paths, accessed, modified);
        for (const QString& line : result.failures) {
            memoResults->appendPlainText(line);
        }
        Panel()->EndBusy(QString::fromUtf8(kDateChangedText).arg(result.changed).arg(result.listed),
                         kBusyFade, kStatusInfo);
    } catch (const EQuiva& error) {
        Panel()->EndBusy(QString(), kBusyFade, kStatusInfo);
        Host().ShowStatus(error.Message(), false, kStatusError);
    }
}

void TfrmDateCon::SaveSettings() {
    TDateSettings settings;
    settings.folder = PathSlots[0];
    settings.mask = edtMask->text();
    for (int i = 0; i < 3; ++i) {
        settings.moments[i] = Moment(i);
        if (m_keepBoxes[i]->isChecked()) {
            settings.keep |= 1 << i;
        }
    }
    SaveFields(kDateSettingsKey, DateSettingsFields(settings));
}

void TfrmDateCon::LoadSettings() {
    const std::optional<TBarList> fields = LoadFields(kDateSettingsKey, kDateSettingsFields);
    if (!fields) {
        return;
    }
    m_loading = true;
    const TDateSettings settings = ParseDateSettings(*fields);
    if (!settings.folder.isEmpty()) {
        PathSlots[0] = settings.folder;
    }
    stSource->SetCaption(PathSlots[0]);
    edtMask->setText(settings.mask);
    for (int i = 0; i < 3; ++i) {
        if (settings.moments[i]) {
            SetMoment(i, *settings.moments[i]);
        }
    }
    for (int i = kAccess; i <= kModification; ++i) {
        m_keepBoxes[i]->setChecked((settings.keep & (1 << i)) != 0);
        SetChildrenEnabled(m_groups[i], !m_keepBoxes[i]->isChecked());
    }
    LockCreation();
    SetDateRange();
    m_loading = false;
}
