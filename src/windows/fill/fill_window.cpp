#include "windows/fill/fill_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/utilities.h"
#include "platform/file_utilities.h"
#include "tools/common/file_io.h"
#include "tools/fill/filler.h"
#include "ui/ell_path.h"
#include "ui/file_dialogs.h"
#include "ui/file_tool_panels.h"
#include "ui/size_sliders.h"
#include "ui/window_parts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QThread>
#include <QVBoxLayout>
#include <QValidator>

#include <algorithm>

namespace {

constexpr int kClientWidth = 248;
constexpr int kClientHeight = 314;

// Turns whatever is typed into upper case, like an edit box with upper-case characters.
class TUpperCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*position*/) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

QLineEdit* MakeHexEdit(QWidget* parent, const char* name, int maxChars, const char* text) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setMaxLength(maxChars);
    edit->setValidator(new TUpperCaseValidator(edit));
    edit->setText(QString::fromLatin1(text));
    return edit;
}

}  // namespace

TfrmFill::TfrmFill(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    const TDestinationPanel dest = MakeDestinationPanel(
        this, QStringLiteral("Overwrite Existing File"), QStringLiteral("Browse|Select file name"));
    pnlDest = dest.panel;
    lblDest = dest.label;
    stDest = dest.path;
    bbnBrowse = dest.browse;
    cbxOverwrite = dest.overwrite;

    const TSizePanel size =
        MakeSizePanel(this, "pnlSize", QStringLiteral("File Size:"), "lblFileSize", 2);
    pnlSize = size.panel;
    lblFileSize = size.title;
    lblSize = size.size;
    tbB = size.bytes;
    tbKb = size.kilobytes;
    tbMb = size.megabytes;
    lblCommon = size.quickLabel;
    cbCommon = size.quickPick;

    pnlPattern = MakePanel(this, "pnlPattern");
    cbPattern = Named(new QComboBox(pnlPattern), "cbPattern");
    for (const char* name : kFillPatternNames) {
        cbPattern->addItem(QString::fromLatin1(name));
    }
    edtSeq = MakeHexEdit(pnlPattern, "edtSeq", kSequenceMaxChars, kDefaultSequence);
    // The range sits over the sequence box and hides it while shown.
    pnlRange = MakePanel(pnlPattern, "pnlRange");
    pnlRange->setFrameStyle(QFrame::NoFrame);
    pnlRange->setAutoFillBackground(true);
    lblFrom = Named(new QLabel(QStringLiteral("From"), pnlRange), "lblFrom");
    edtFrom = MakeHexEdit(pnlRange, "edtFrom", kRangeMaxChars, kDefaultRangeFrom);
    lblTo = Named(new QLabel(QStringLiteral("to"), pnlRange), "lblTo");
    edtTo = MakeHexEdit(pnlRange, "edtTo", kRangeMaxChars, kDefaultRangeTo);
    auto* rangeRow = new QHBoxLayout(pnlRange);
    rangeRow->setContentsMargins(0, 0, 0, 0);
    rangeRow->addWidget(lblFrom);
    rangeRow->addWidget(edtFrom);
    rangeRow->addWidget(lblTo);
    rangeRow->addWidget(edtTo);
    rangeRow->addStretch();
    auto* patternGrid = new QGridLayout(pnlPattern);
    patternGrid->setContentsMargins(6, 4, 6, 4);
    patternGrid->setVerticalSpacing(2);
    patternGrid->addWidget(cbPattern, 0, 0);
    patternGrid->addWidget(edtSeq, 1, 0);
    patternGrid->addWidget(pnlRange, 1, 0);
    pnlRange->raise();
    pnlRange->hide();

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReset = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReset");
    btnFill = Named(new QPushButton(QStringLiteral("Fill"), pnlBtns), "btnFill");
    auto* buttonRow = new QHBoxLayout(pnlBtns);
    buttonRow->setContentsMargins(6, 4, 6, 4);
    buttonRow->addWidget(btnReset);
    buttonRow->addStretch();
    buttonRow->addWidget(btnFill);

    layout->addWidget(pnlDest);
    layout->addWidget(pnlSize);
    layout->addWidget(pnlPattern);
    layout->addStretch();
    layout->addWidget(pnlBtns);

    SetHint(cbPattern, QStringLiteral("Fill Pattern|Fixed Byte Sequence or Random"));
    SetHint(edtSeq, QStringLiteral("Sequence|2, 4, 6, or 8 Hexadecimal Characters"));
    SetHint(edtFrom, QStringLiteral("Minimum|Hexadecimal from 00 to FF"));
    SetHint(edtTo, QStringLiteral("Maximum|Hexadecimal from 00 to FF"));
    SetHint(btnReset, QStringLiteral("|Reset"));
    SetHint(btnFill, QStringLiteral("|Fill"));

    m_sizes = new TSizeSliders(tbB, tbKb, tbMb, lblSize, cbCommon, kFillQuickPicks, this);

    AskDestFile = [this] {
        return AskSaveFile(this, QStringLiteral("Select Destination File"), PathSlots[1]);
    };

    connect(bbnBrowse, &QPushButton::clicked, this, &TfrmFill::DoBrowse);
    connect(cbPattern, &QComboBox::currentIndexChanged, this, &TfrmFill::PatChange);
    connect(btnReset, &QPushButton::clicked, this, &TfrmFill::DoReset);
    connect(btnFill, &QPushButton::clicked, this, &TfrmFill::DoFill);
}

qint64 TfrmFill::FileSize() const {
    return m_sizes->Size();
}

void TfrmFill::ShowDestination(const QString& path) {
    PathSlots[3] = path;
    stDest->SetCaption(path);
}

void TfrmFill::DoBrowse() {
    const QString path = AskDestFile ? AskDestFile() : QString();
    if (path.isEmpty()) {
        return;
    }
    ShowDestination(path);
    PathSlots[1] = FolderPart(path);
    IncludeTrailingBackslash(PathSlots[1]);
}

void TfrmFill::SizeChange(int tag) {
    m_sizes->SizeChange(tag);
}

void TfrmFill::DoQuickPick(int index) {
    m_sizes->DoQuickPick(index);
}

void TfrmFill::PatChange() {
    const int pattern = cbPattern->currentIndex();
    pnlRange->setVisible(pattern == kPatternRange);
    edtSeq->setEnabled(pattern == kPatternSequence);
}

void TfrmFill::DoReset() {
    ShowDestination(QString());
    PathSlots[1] = WindowsFolder();
    cbxOverwrite->setChecked(false);
    m_sizes->Reset();
    cbPattern->setCurrentIndex(kPatternSequence);
    edtSeq->setText(QString::fromLatin1(kDefaultSequence));
    edtFrom->setText(QString::fromLatin1(kDefaultRangeFrom));
    edtTo->setText(QString::fromLatin1(kDefaultRangeTo));
    PatChange();
}

void TfrmFill::DoFill() {
    TFillRequest request;
    request.destination = PathSlots[3];
    request.size = FileSize();
    request.pattern = cbPattern->currentIndex();
    request.sequence = edtSeq->text();
    request.from = edtFrom->text();
    request.to = edtTo->text();
    request.overwrite = cbxOverwrite->isChecked();
    TFillPlan plan;
    try {
        plan = CheckFill(request);
    } catch (const EQuiva& error) {
        ShowStickyError(error.Message());
        return;
    }
    if (plan.pattern == kPatternAllBytes) {
        if (THost* host = &Host()) {
            host->ShowStatus(QString::fromLatin1(kFillAllBytesNotice), false, kStatusInfo);
        }
        QThread::msleep(static_cast<unsigned long>(std::max(0, NoticePauseMs)));
    }

    RunBusy(QString::fromLatin1(kFillingText), QString::fromLatin1(kFillingCompleteText),
            [this, &plan] {
                Fill(plan, [this](int percent) { ShowProgress(PercentDoneText(percent)); });
            });
}

void TfrmFill::SaveSettings() {
    TFillSettings settings;
    settings.destination = PathSlots[3];
    settings.sequence = edtSeq->text();
    settings.from = edtFrom->text();
    settings.to = edtTo->text();
    settings.overwrite = cbxOverwrite->isChecked();
    settings.parts = m_sizes->Parts();
    settings.quickPick = cbCommon->currentIndex();
    settings.pattern = cbPattern->currentIndex();
    SaveFillSettings(Stores(), settings);
}

void TfrmFill::LoadSettings() {
    const std::optional<TFillSettings> settings = LoadFillSettings(Stores());
    if (!settings) {
        return;
    }
    m_loading = true;
    cbxOverwrite->setChecked(settings->overwrite);
    if (!settings->destination.isEmpty()) {
        PathSlots[1] = settings->destFolder;
        ShowDestination(settings->destination);
    }
    edtSeq->setText(settings->sequence);
    edtFrom->setText(settings->from);
    edtTo->setText(settings->to);
    m_sizes->Load(settings->parts, settings->quickPick);
    cbPattern->setCurrentIndex(settings->pattern);
    PatChange();
    m_loading = false;
}
