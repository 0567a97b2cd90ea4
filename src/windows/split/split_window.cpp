#include "windows/split/split_window.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "tools/common/file_io.h"
#include "tools/split/splitter.h"
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
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kClientWidth = 249;
constexpr int kClientHeight = 354;

}  // namespace

TfrmSplit::TfrmSplit(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    pnlSource = MakePanel(this, "pnlSource");
    lblSource = Named(new QLabel(QStringLiteral("Source File"), pnlSource), "lblSource");
    stSource = Named(new TEllPath(pnlSource), "stSource");
    sbnSBrowse = MakeBrowseButton(pnlSource, "sbnSBrowse");
    lblDest = Named(new QLabel(QStringLiteral("Destination Directory"), pnlSource), "lblDest");
    stDest = Named(new TEllPath(pnlSource), "stDest");
    sbnDBrowse = MakeBrowseButton(pnlSource, "sbnDBrowse");
    cbxOverwrite = Named(new QCheckBox(QStringLiteral("Overwrite Desitnation Files"), pnlSource),
                         "cbxOverwrite");
    cbxChecksumList =
        Named(new QCheckBox(QStringLiteral("Write checksum list"), pnlSource), "cbxChecksumList");
    auto* sourceGrid = new QGridLayout(pnlSource);
    sourceGrid->setContentsMargins(6, 4, 6, 4);
    sourceGrid->setVerticalSpacing(2);
    sourceGrid->addWidget(lblSource, 0, 0, 1, 2);
    sourceGrid->addWidget(stSource, 1, 0);
    sourceGrid->addWidget(sbnSBrowse, 1, 1);
    sourceGrid->addWidget(lblDest, 2, 0, 1, 2);
    sourceGrid->addWidget(stDest, 3, 0);
    sourceGrid->addWidget(sbnDBrowse, 3, 1);
    sourceGrid->addWidget(cbxOverwrite, 4, 0, 1, 2);
    sourceGrid->addWidget(cbxChecksumList, 5, 0, 1, 2);

    const TSizePanel size =
        MakeSizePanel(this, "pnlOptions", QStringLiteral("Max Size:"), "lblMaxSize", 3);
    pnlOptions = size.panel;
    lblMaxSize = size.title;
    lblSize = size.size;
    tbB = size.bytes;
    tbKb = size.kilobytes;
    tbMb = size.megabytes;
    lblCommon = size.quickLabel;
    cbCommon = size.quickPick;

    pnlCount = MakePanel(this, "pnlCount");
    lblMaxCount = Named(new QLabel(QStringLiteral("Max File Count:"), pnlCount), "lblMaxCount");
    lblCount = Named(new QLabel(pnlCount), "lblCount");
    tbCount = Named(new QSlider(Qt::Horizontal, pnlCount), "tbCount");
    auto* countGrid = new QGridLayout(pnlCount);
    countGrid->setContentsMargins(6, 4, 6, 4);
    countGrid->setVerticalSpacing(0);
    countGrid->addWidget(lblMaxCount, 0, 0);
    countGrid->addWidget(lblCount, 0, 1, Qt::AlignRight);
    countGrid->addWidget(tbCount, 1, 0, 1, 2);

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReset = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReset");
    btnSplit = Named(new QPushButton(QStringLiteral("Split"), pnlBtns), "btnSplit");
    auto* buttonRow = new QHBoxLayout(pnlBtns);
    buttonRow->setContentsMargins(6, 4, 6, 4);
    buttonRow->addWidget(btnReset);
    buttonRow->addStretch();
    buttonRow->addWidget(btnSplit);

    layout->addWidget(pnlSource);
    layout->addWidget(pnlOptions);
    layout->addWidget(pnlCount);
    layout->addStretch();
    layout->addWidget(pnlBtns);

    SetHint(sbnSBrowse, QStringLiteral("Browse|Select file to be split"));
    SetHint(sbnDBrowse, QStringLiteral("Browse|Destination directory for split files"));
    SetHint(cbxChecksumList, QStringLiteral("NAME.sha256 beside the pieces|The SHA-256 of every "
                                            "piece and of the whole file, for Splice and "
                                            "sha256sum -c"));
    SetHint(btnReset, QStringLiteral("|Reset"));
    SetHint(btnSplit, QStringLiteral("|Split"));

    m_sizes = new TSizeSliders(tbB, tbKb, tbMb, lblSize, cbCommon, kSplitQuickPicks, this);
    tbCount->setRange(kMinFileCount, kMaxFileCount);
    tbCount->setPageStep(kSizeSliderPage);
    tbCount->setTickInterval(kSizeSliderPage);
    tbCount->setTickPosition(QSlider::TicksBelow);
    tbCount->setValue(kDefaultFileCount);
    m_maxCount = tbCount->value();
    lblCount->setText(QString::number(m_maxCount));
    stDest->SetCaption(PathSlots[1]);

    AskSourceFile = [this] {
        return AskOpenFile(this, QStringLiteral("Select Source File"), PathSlots[0]);
    };
    AskDestFolder = [this] { return PickFolder(QStringLiteral("Select Destination Folder"), {}); };

    connect(sbnSBrowse, &QToolButton::clicked, this, &TfrmSplit::DoSourceBrowse);
    connect(sbnDBrowse, &QToolButton::clicked, this, &TfrmSplit::DoDestBrowse);
    connect(tbCount, &QSlider::valueChanged, this, &TfrmSplit::CountChange);
    connect(btnReset, &QPushButton::clicked, this, &TfrmSplit::DoReset);
    connect(btnSplit, &QPushButton::clicked, this, &TfrmSplit::DoSplit);
}

qint64 TfrmSplit::PieceSize() const {
    return m_sizes->Size();
}

void TfrmSplit::ShowSource(const QString& path) {
    PathSlots[2] = path;
    stSource->SetCaption(path);
}

void TfrmSplit::DoSourceBrowse() {
    const QString path = AskSourceFile ? AskSourceFile() : QString();
    if (path.isEmpty()) {
        return;
    }
    // A FIFO, socket or device cannot be split: said now rather than at the split.
    if (!IsRegularFile(path)) {
        ShowStickyError(QString::fromUtf8(kSplitNoSourceMessage));
        return;
    }
    ShowSource(path);
    PathSlots[0] = FolderPart(path);
}

void TfrmSplit::DoDestBrowse() {
    const std::optional<QString> folder = AskDestFolder ? AskDestFolder() : std::nullopt;
    if (!folder || folder->isEmpty() || !IsFolder(*folder)) {
        return;
    }
    PathSlots[1] = *folder;
    stDest->SetCaption(PathSlots[1]);
}

void TfrmSplit::SizeChange(int tag) {
    m_sizes->SizeChange(tag);
}

void TfrmSplit::CountChange() {
    m_maxCount = tbCount->value();
    lblCount->setText(QString::number(m_maxCount));
}

void TfrmSplit::DoQuickPick(int index) {
    m_sizes->DoQuickPick(index);
}

void TfrmSplit::DoReset() {
    PathSlots[0] = WindowsFolder();
    PathSlots[1] = WindowsFolder();
    ShowSource(QString());
    stDest->SetCaption(PathSlots[1]);
    cbxOverwrite->setChecked(false);
    cbxChecksumList->setChecked(false);
    m_sizes->Reset();
    tbCount->setValue(kDefaultFileCount);
}

void TfrmSplit::DoSplit() {
    TSplitRequest request;
    request.source = PathSlots[2];
    request.destFolder = PathSlots[1];
    request.pieceSize = PieceSize();
    request.maxCount = m_maxCount;
    request.overwrite = cbxOverwrite->isChecked();
    request.checksumList = cbxChecksumList->isChecked();

    RunBusy(QString::fromLatin1(kSplittingText), QString::fromLatin1(kSplittingCompleteText),
            [this, &request] {
                Split(request, [this](int percent) { ShowProgress(PercentDoneText(percent)); });
            });
}

void TfrmSplit::SaveSettings() {
    TSplitSettings settings;
    settings.source = PathSlots[2];
    settings.destFolder = PathSlots[1];
    settings.overwrite = cbxOverwrite->isChecked();
    settings.parts = m_sizes->Parts();
    settings.quickPick = cbCommon->currentIndex();
    settings.maxCount = m_maxCount;
    SaveSplitSettings(Stores(), settings);
    SaveSplitListSetting(Stores(), cbxChecksumList->isChecked());
}

void TfrmSplit::LoadSettings() {
    cbxChecksumList->setChecked(LoadSplitListSetting(Stores()));
    const std::optional<TSplitSettings> settings = LoadSplitSettings(Stores());
    if (!settings) {
        return;
    }
    m_loading = true;
    if (!settings->source.isEmpty()) {
        ShowSource(settings->source);
    }
    if (!settings->sourceFolder.isEmpty()) {
        PathSlots[0] = settings->sourceFolder;
    }
    if (!settings->destFolder.isEmpty()) {
        PathSlots[1] = settings->destFolder;
    }
    stDest->SetCaption(PathSlots[1]);
    cbxOverwrite->setChecked(settings->overwrite);
    m_sizes->Load(settings->parts, settings->quickPick);
    tbCount->setValue(settings->maxCount);
    m_loading = false;
}
