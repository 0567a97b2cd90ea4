#include "windows/equisize/equalize_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/equisize/equalizer.h"
#include "ui/ell_path.h"
#include "ui/file_dialogs.h"
#include "ui/window_parts.h"

#include <QButtonGroup>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kClientWidth = 377;
constexpr int kClientHeight = 245;

// A path shown as sunken static text on white.
TEllPath* MakePathText(QWidget* parent, const char* name) {
    auto* path = Named(new TEllPath(parent), name);
    path->setBackgroundRole(QPalette::Base);
    return path;
}

}  // namespace

TRadioGroup::TRadioGroup(const QStringList& items, QWidget* parent)
    : QGroupBox(parent), m_group(new QButtonGroup(this)) {
    auto* column = new QVBoxLayout(this);
    column->setSpacing(2);
    for (int index = 0; index < items.size(); ++index) {
        auto* button = new QRadioButton(items[index], this);
        m_group->addButton(button, index);
        column->addWidget(button);
    }
}

int TRadioGroup::ItemIndex() const {
    return m_group->checkedId();
}

void TRadioGroup::SetItemIndex(int index) {
    if (QAbstractButton* button = m_group->button(index)) {
        button->setChecked(true);
        return;
    }
    m_group->setExclusive(false);
    for (QAbstractButton* button : m_group->buttons()) {
        button->setChecked(false);
    }
    m_group->setExclusive(true);
}

QRadioButton* TRadioGroup::Item(int index) const {
    return qobject_cast<QRadioButton*>(m_group->button(index));
}

TfrmEqualizer::TfrmEqualizer(QWidget* panel, const TToolContext& context)
    : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    pnlFiles = MakePanel(this, "pnlFiles");
    lblSrcA = Named(new QLabel(QStringLiteral("File A"), pnlFiles), "lblSrcA");
    stSrcA = MakePathText(pnlFiles, "stSrcA");
    sbnSrcA = MakeBrowseButton(pnlFiles, "sbnSrcA", 0);
    lblSizeA = Named(new QLabel(pnlFiles), "lblSizeA");
    lblSrcB = Named(new QLabel(QStringLiteral("File B"), pnlFiles), "lblSrcB");
    stSrcB = MakePathText(pnlFiles, "stSrcB");
    sbnSrcB = MakeBrowseButton(pnlFiles, "sbnSrcB", 1);
    lblSizeB = Named(new QLabel(pnlFiles), "lblSizeB");
    QStringList routes;
    for (const char* route : kRouteNames) {
        routes.append(QString::fromLatin1(route));
    }
    rgRoute = Named(new TRadioGroup(routes, pnlFiles), "rgRoute");
    auto* filesGrid = new QGridLayout(pnlFiles);
    filesGrid->setContentsMargins(8, 6, 8, 6);
    filesGrid->setVerticalSpacing(2);
    filesGrid->addWidget(lblSrcA, 0, 0);
    filesGrid->addWidget(lblSizeA, 0, 0, Qt::AlignRight);
    filesGrid->addWidget(stSrcA, 1, 0);
    filesGrid->addWidget(sbnSrcA, 1, 1);
    filesGrid->setRowMinimumHeight(2, 8);
    filesGrid->addWidget(lblSrcB, 3, 0);
    filesGrid->addWidget(lblSizeB, 3, 0, Qt::AlignRight);
    filesGrid->addWidget(stSrcB, 4, 0);
    filesGrid->addWidget(sbnSrcB, 4, 1);
    filesGrid->setRowStretch(5, 1);
    filesGrid->addWidget(rgRoute, 6, 0, 1, 2);

    pnlBtns = MakePanel(this, "pnlBtns");
    btnReset = Named(new QPushButton(QStringLiteral("Reset"), pnlBtns), "btnReset");
    btnEqualize = Named(new QPushButton(QStringLiteral("Equalize"), pnlBtns), "btnEqualize");
    auto* buttonRow = new QHBoxLayout(pnlBtns);
    buttonRow->setContentsMargins(8, 4, 8, 4);
    buttonRow->addWidget(btnReset);
    buttonRow->addStretch();
    buttonRow->addWidget(btnEqualize);

    layout->addWidget(pnlFiles, 1);
    layout->addWidget(pnlBtns);

    SetHint(sbnSrcA, QStringLiteral("Browse|Select first file"));
    SetHint(sbnSrcB, QStringLiteral("Browse|Select second file"));
    SetHint(stSrcA, QStringLiteral("|First File"));
    SetHint(stSrcB, QStringLiteral("|Second File"));
    SetHint(btnEqualize, QStringLiteral("|Equalize File Sizes"));

    rgRoute->SetItemIndex(kDefaultRoute);

    AskFile = [this](int) {
        return AskOpenFile(this, QStringLiteral("Select File"), PathSlots[0]);
    };

    connect(sbnSrcA, &QToolButton::clicked, this, [this] { DoBrowse(0); });
    connect(sbnSrcB, &QToolButton::clicked, this, [this] { DoBrowse(1); });
    connect(btnReset, &QPushButton::clicked, this, &TfrmEqualizer::DoReset);
    connect(btnEqualize, &QPushButton::clicked, this, &TfrmEqualizer::DoEqualize);
}

void TfrmEqualizer::SetFile(int index, const QString& path, qint64 size, const QString& label) {
    m_files[index] = path;
    m_sizes[index] = size;
    PathPanel(index)->SetCaption(path);
    SizeLabel(index)->setText(label);
}

void TfrmEqualizer::DoBrowse(int index) {
    if (index < 0 || index > 1) {
        return;
    }
    const QString path = AskFile ? AskFile(index) : QString();
    if (path.isEmpty()) {
        return;
    }
    try {
        // A FIFO, socket or device has no size to equalize: said now, and not taken.
        if (!IsRegularFile(path)) {
            RaiseError(QString::fromUtf8(kEqualizeOpenMessage).arg(PrintableName(NamePart(path))));
        }
        const qint64 size = FileSize64(path);
        SetFile(index, path, size, BrowsedSizeLabel(size));
        if (index == 0) {
            PathSlots[0] = FolderPart(path);
        }
    } catch (const EQuiva& error) {
        if (THost* host = &Host()) {
            host->ShowStatus(error.Message(), false, kStatusError);
        }
    }
}

void TfrmEqualizer::DoReset() {
    SetFile(0, QString(), 0, QString());
    SetFile(1, QString(), 0, QString());
    rgRoute->SetItemIndex(kDefaultRoute);
}

void TfrmEqualizer::DoEqualize() {
    THost* host = &Host();
    const QString fileA = m_files[0];
    const QString fileB = m_files[1];
    TEqualizeCheck check;
    try {
        check = CheckEqualize(fileA, fileB);
    } catch (const EQuiva& error) {
        if (host != nullptr) {
            host->ShowStatus(error.Message(), false, kStatusError);
        }
        return;
    }
    if (check.sameSize) {
        if (host != nullptr) {
            host->ShowStatus(QString::fromLatin1(kEqualizeSameSizeMessage), false, kStatusInfo);
        }
        return;
    }

    TToolPanel* panel = Panel();
    if (panel != nullptr) {
        panel->BeginBusy(QString(), kBusyKeep, kStatusInfo);
    }
    try {
        const TEqualizeResult result = Equalize(fileA, fileB, rgRoute->ItemIndex());
        QString done = QString::fromLatin1(kEqualizeDoneText);
        if (result.changed) {
            const int target = result.target;
            const int other = 1 - target;
            const std::array<qint64, 2> sizes{result.sizeA, result.sizeB};
            if (m_sizes[other] == sizes[other]) {
                // The target now has the other file's size: it takes that file's label.
                SizeLabel(target)->setText(SizeLabel(other)->text());
            } else {
                // The other file changed since it was chosen; show both as they are now.
                lblSizeA->setText(BrowsedSizeLabel(sizes[0]));
                lblSizeB->setText(BrowsedSizeLabel(sizes[1]));
            }
            m_sizes = sizes;
        } else {
            done = QString::fromLatin1(kEqualizeSameSizeMessage);
        }
        if (panel != nullptr) {
            panel->EndBusy(done, kBusyFade, kStatusInfo);
        }
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    } catch (const std::exception& error) {
        EndWithError(QString::fromLocal8Bit(error.what()));
    }
}

void TfrmEqualizer::SaveSettings() {
    TEqualizeSettings settings;
    settings.fileA = m_files[0];
    settings.fileB = m_files[1];
    settings.route = rgRoute->ItemIndex();
    SaveEqualizeSettings(Stores(), settings);
}

void TfrmEqualizer::LoadSettings() {
    const std::optional<TEqualizeSettings> settings = LoadEqualizeSettings(Stores());
    if (!settings) {
        return;
    }
    m_loading = true;
    rgRoute->SetItemIndex(settings->route);
    if (!settings->fileA.isEmpty()) {
        SetFile(0, settings->fileA, settings->sizeA, LoadedSizeLabel(settings->sizeA));
    }
    if (!settings->fileB.isEmpty()) {
        SetFile(1, settings->fileB, settings->sizeB, LoadedSizeLabel(settings->sizeB));
    }
    if (!settings->folder.isEmpty()) {
        PathSlots[0] = settings->folder;
    }
    m_loading = false;
}
