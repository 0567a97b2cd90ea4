#include "windows/compare/compare_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/common/hex_text.h"
#include "tools/compare/compare_settings.h"
#include "ui/ell_path.h"
#include "ui/quick_button.h"
#include "ui/window_parts.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>

#include <cmath>

namespace {

constexpr int kClientWidth = 849;
constexpr int kClientHeight = 452;
constexpr int kFilesHeight = 56;
constexpr int kButtonsHeight = 34;
constexpr int kRowHeight = 19;
constexpr int kReportRowHeight = 17;
constexpr int kOffsetWidth = 50;
constexpr int kDataCellWidth = 16;
constexpr int kTextCellWidth = 8;
constexpr int kScrollWidth = 20;
// What the tab page's frame takes of the window's width.
constexpr int kPageFrame = 8;
// How often a running comparison's progress is shown.
constexpr int kProgressIntervalMs = 200;

constexpr const char* kNoNextDifferenceText = "No difference after this byte";
constexpr const char* kNoPreviousDifferenceText = "No difference before this byte";

// The widths the Data page's cells need at the font in use: the given ones at the default
// size, wider when the text is larger, so that both digits of the byte editor and every
// column of both sides show.
struct TCellWidths {
    int offset;
    int data;
    int text;
};

TCellWidths CellWidths(const QFont& base) {
    QFont cells = base;
    cells.setPointSize(8);
    const QFontMetrics digits(cells);
    QFont small = base;
    small.setPointSize(7);
    const QFontMetrics offsets(small);
    return TCellWidths{
        std::max(kOffsetWidth, offsets.horizontalAdvance(QStringLiteral("000000000")) + 4),
        std::max(kDataCellWidth, digits.horizontalAdvance(QStringLiteral("DD")) + 3),
        std::max(kTextCellWidth, digits.averageCharWidth() + 2)};
}

// How much wider than its cell a byte editor is made, so that both digits show.
int EditorExtraWidth(const QLineEdit* editor, int cellWidth) {
    const int needed = QFontMetrics(editor->font()).horizontalAdvance(QStringLiteral("DD")) + 4;
    return std::max(0, needed - cellWidth);
}

constexpr int kReportColumns = 12;
constexpr int kReportRows = 17;

// The clicks on the similarity index: the letter under the mouse.
class TIndexClickFilter : public QObject {
public:
    TIndexClickFilter(QLineEdit* index, std::function<void(int)> onLetter)
        : QObject(index), m_index(index), m_onLetter(std::move(onLetter)) {
        index->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            // The cursor position nearest to the left edge of the letter clicked.
            const int half = QFontMetrics(m_index->font()).averageCharWidth() / 2;
            const QPoint at = mouse->position().toPoint() - QPoint(half, 0);
            const int letter = m_index->cursorPositionAt(at);
            if (!m_index->text().isEmpty()) {
                m_onLetter(std::clamp(letter, 0, int(m_index->text().size()) - 1));
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QLineEdit* m_index;
    std::function<void(int)> m_onLetter;
};

QLineEdit* MakeReadOnlyBox(QWidget* parent, const char* name) {
    auto* box = Named(new QLineEdit(parent), name);
    box->setReadOnly(true);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, kSilver);
    box->setPalette(palette);
    return box;
}

TByteGrid* MakeGrid(QWidget* parent, const char* name, int cellWidth, const QColor& colour,
                    int side) {
    auto* grid = Named(new TByteGrid(kBytesPerRow, kRowsPerPage, parent), name);
    grid->SetColor(colour);
    grid->SetRowHeight(kRowHeight);
    grid->SetDefaultColumnWidth(cellWidth);
    grid->resize(cellWidth * kBytesPerRow, kRowHeight * kRowsPerPage);
    grid->setProperty("Tag", side);
    return grid;
}

}  // namespace

TfrmComp::TfrmComp(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    const TCellWidths widths = CellWidths(font());
    // The Data page: offsets, A's bytes and text, B's bytes and text, the scroll panel.
    const int hexNeeded = 2 + (widths.offset + 2) + 2 * (kBytesPerRow * widths.data + 2) +
                          2 * (kBytesPerRow * widths.text + 2);
    const int kClientWidth = std::max(::kClientWidth, hexNeeded + kScrollWidth + kPageFrame);
    setFixedSize(kClientWidth, kClientHeight);

    // ---- the files ------------------------------------------------------------------------
    pnlFiles = MakePanel(this, "pnlFiles");
    pnlFiles->setGeometry(0, 0, kClientWidth, kFilesHeight);
    lblSrcA = Named(new QLabel(QStringLiteral("File A"), pnlFiles), "lblSrcA");
    lblSrcB = Named(new QLabel(QStringLiteral("File B"), pnlFiles), "lblSrcB");
    stSrcA = Named(new TEllPath(pnlFiles), "stSrcA");
    stSrcB = Named(new TEllPath(pnlFiles), "stSrcB");
    sbnSrcA = Named(new TQuickButton(pnlFiles), "sbnSrcA");
    sbnSrcB = Named(new TQuickButton(pnlFiles), "sbnSrcB");
    sbnSaveA = Named(new TQuickButton(pnlFiles), "sbnSaveA");
    sbnSaveB = Named(new TQuickButton(pnlFiles), "sbnSaveB");
    lblSizeA = Named(new QLabel(pnlFiles), "lblSizeA");
    lblSizeB = Named(new QLabel(pnlFiles), "lblSizeB");
    for (int side = 0; side < 2; ++side) {
        const int top = 4 + side * 25;
        (side == 0 ? lblSrcA : lblSrcB)->setGeometry(6, top + 3, 40, 17);
        PathPanel(side)->setGeometry(48, top, 560, 23);
        PathPanel(side)->setProperty("Tag", side);
        TQuickButton* browse = side == 0 ? sbnSrcA : sbnSrcB;
        browse->setIcon(browse->style()->standardIcon(QStyle::SP_DirOpenIcon));
        browse->setGeometry(611, top, 25, 23);
        browse->setProperty("Tag", side);
        SaveButton(side)->setIcon(browse->style()->standardIcon(QStyle::SP_DialogSaveButton));
        SaveButton(side)->setGeometry(638, top, 25, 23);
        SaveButton(side)->setProperty("Tag", side);
        SaveButton(side)->setEnabled(false);
        SizeLabel(side)->setGeometry(668, top + 3, kClientWidth - 674, 17);
        SizeLabel(side)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    // ---- the pages ------------------------------------------------------------------------
    pgcComp = Named(new QTabWidget(this), "pgcComp");
    pgcComp->setGeometry(0, kFilesHeight, kClientWidth,
                         kClientHeight - kFilesHeight - kButtonsHeight);
    tsReport = Named(new QWidget(), "tsReport");
    tsView = Named(new QWidget(), "tsView");
    pgcComp->addTab(tsReport, QStringLiteral("Report"));
    pgcComp->addTab(tsView, QStringLiteral("Data"));

    dgReport = Named(new TDrawGrid(kReportColumns, kReportRows, tsReport), "dgReport");
    dgReport->SetGridLines(true);
    dgReport->SetRowHeight(kReportRowHeight);
    {
        const int clientWidth = kClientWidth - 12;
        QFont font = this->font();
        font.setPointSize(9);
        const int w = QFontMetrics(font).horizontalAdvance(QStringLiteral("00000000")) + 20;
        const int lines = 13 * dgReport->GridLineWidth();
        dgReport->SetDefaultColumnWidth((clientWidth - 4 * w - lines) / 8);
        for (int column : {0, 3, 6, 9}) {
            dgReport->SetColumnWidth(column, w);
        }
        dgReport->SetColumnWidth(11, clientWidth - 4 * w - 7 * dgReport->ColumnWidth(1) - lines);
        dgReport->setGeometry(4, 4, clientWidth - 1, dgReport->CellsHeight());
    }

    const int pageHeight = kRowHeight + 2 + kRowHeight * kRowsPerPage + 4;
    scroll = MakeScrollButtons(tsView, kScrollWidth, pageHeight);
    pnlHex = MakePanel(tsView, "pnlHex");
    pnlHex->setFrameStyle(QFrame::NoFrame);
    const int hexWidth = kClientWidth - kPageFrame - kScrollWidth;
    pnlHex->setGeometry(0, 2, hexWidth, pageHeight);
    scroll.panel->move(hexWidth, 2);

    dgOff = Named(new TDrawGrid(1, kRowsPerPage, pnlHex), "dgOff");
    dgOff->SetColor(kOffsetColour);
    dgOff->SetRowHeight(kRowHeight);
    dgOff->SetDefaultColumnWidth(widths.offset);
    dgOff->setEnabled(false);
    dgDatA = MakeGrid(pnlHex, "dgDatA", widths.data, kDataColour, 0);
    dgTextA = MakeGrid(pnlHex, "dgTextA", widths.text, kTextColour, 0);
    dgDatB = MakeGrid(pnlHex, "dgDatB", widths.data, kDataColour, 1);
    dgTextB = MakeGrid(pnlHex, "dgTextB", widths.text, kTextColour, 1);
    const int gridTop = kRowHeight + 2;
    int x = 2;
    for (TDrawGrid* grid :
         std::initializer_list<TDrawGrid*>{dgOff, dgDatA, dgTextA, dgDatB, dgTextB}) {
        grid->setGeometry(x, gridTop, grid->CellsWidth(), kRowHeight * kRowsPerPage);
        x += grid->CellsWidth() + 2;
    }
    dgHead = Named(new TDrawGrid(35, 1, pnlHex), "dgHead");
    dgHead->SetColor(Qt::white);
    dgHead->SetRowHeight(kRowHeight);
    dgHead->setFocusPolicy(Qt::NoFocus);
    dgHead->setGeometry(2, 0, x - 4, kRowHeight);
    dgHead->SetDefaultColumnWidth(widths.data);
    dgHead->SetColumnWidth(0, widths.offset + 2);
    dgHead->SetColumnWidth(17, dgTextA->CellsWidth() + 2);
    dgHead->SetColumnWidth(
        34, dgHead->width() - (widths.offset + 2) - (dgTextA->CellsWidth() + 2) - 32 * widths.data);
    for (int side = 0; side < 2; ++side) {
        QLineEdit* data =
            MakeCellEditor(DataGrid(side), side == 0 ? "edtDatA" : "edtDatB", 2, true, true);
        QLineEdit* text =
            MakeCellEditor(TextGrid(side), side == 0 ? "edtTextA" : "edtTextB", 1, false, true);
        data->setProperty("Tag", side);
        text->setProperty("Tag", side);
        (side == 0 ? edtDatA : edtDatB) = data;
        (side == 0 ? edtTextA : edtTextB) = text;
        DataGrid(side)->SetEditor(data);
        TextGrid(side)->SetEditor(text);
    }

    // ---- the index and the buttons ----------------------------------------------------------
    pnlBtns = MakePanel(this, "pnlBtns");
    pnlBtns->setGeometry(0, kClientHeight - kButtonsHeight, kClientWidth, kButtonsHeight);
    lblIndex = Named(new QLabel(QStringLiteral("Quivix"), pnlBtns), "lblIndex");
    lblIndex->setGeometry(8, 8, 40, 17);
    edtIndex = MakeReadOnlyBox(pnlBtns, "edtIndex");
    edtIndex->setGeometry(50, 5, 330, 23);
    lblSeg = Named(new QLabel(QStringLiteral("Segment Size"), pnlBtns), "lblSeg");
    lblSeg->setGeometry(392, 8, 80, 17);
    edtSeg = MakeReadOnlyBox(pnlBtns, "edtSeg");
    edtSeg->setGeometry(474, 5, 110, 23);
    btnReSet = Named(new QPushButton(QStringLiteral("ReSet"), pnlBtns), "btnReSet");
    btnReSet->setGeometry(kClientWidth - 176, 4, 80, 25);
    btnCompare = Named(new QPushButton(QStringLiteral("Compare"), pnlBtns), "btnCompare");
    btnCompare->setGeometry(kClientWidth - 88, 4, 80, 25);
    sbnPrevDiff = Named(new TQuickButton(pnlBtns), "sbnPrevDiff");
    sbnPrevDiff->setText(QStringLiteral("\u25B2"));
    sbnPrevDiff->setGeometry(596, 5, 25, 23);
    sbnNextDiff = Named(new TQuickButton(pnlBtns), "sbnNextDiff");
    sbnNextDiff->setText(QStringLiteral("\u25BC"));
    sbnNextDiff->setGeometry(624, 5, 25, 23);
    sbnPrevDiff->setAccessibleName(tr("Previous difference"));
    sbnNextDiff->setAccessibleName(tr("Next difference"));
    sbnPrevDiff->setEnabled(false);
    sbnNextDiff->setEnabled(false);

    // ---- hints ------------------------------------------------------------------------------
    SetHint(sbnSrcA, QStringLiteral("Browse|Select first file"));
    SetHint(sbnSrcB, QStringLiteral("Browse|Select second file"));
    SetHint(sbnSaveA, QStringLiteral("Save Changes"));
    SetHint(sbnSaveB, QStringLiteral("Save Changes"));
    SetHint(stSrcA, QStringLiteral("|First Souce File"));
    SetHint(stSrcB, QStringLiteral("|Second source file"));
    SetHint(dgReport, QStringLiteral("File differences|First 64 file differences are listed here"));
    SetHint(dgOff, QStringLiteral("|Offset from start of file"));
    for (int side = 0; side < 2; ++side) {
        SetHint(DataGrid(side), QStringLiteral("|Hexadecimal byte values"));
        SetHint(DataEditor(side), QStringLiteral("|Edit hexadecimal value"));
        SetHint(TextGrid(side), QStringLiteral("|Values from 32..255 shown as text"));
        SetHint(TextEditor(side), QStringLiteral("|Edit text character"));
    }
    SetHint(edtIndex, QStringLiteral("|A measure of file similarity. One letter per segment."));
    SetHint(edtSeg, QStringLiteral("|Block size used for data comparison"));
    SetHint(sbnPrevDiff, tr("Previous difference (Shift+F3)|Show the previous byte at which the "
                            "files differ"));
    SetHint(sbnNextDiff, tr("Next difference (F3)|Show the next byte at which the files differ"));

    // ---- handlers ---------------------------------------------------------------------------
    dgHead->onDrawCell = [this](QPainter& p, const QRect& cell, int column, int) {
        HeadDraw(p, cell, column);
    };
    dgOff->onDrawCell = [this](QPainter& p, const QRect& cell, int, int row) {
        OffDraw(p, cell, row);
    };
    dgReport->onDrawCell = [this](QPainter& p, const QRect& cell, int column, int row) {
        ReportDraw(p, cell, column, row);
    };
    dgReport->onSelectCell = [this](int column, int row) { return ReportSelect(column, row); };
    for (int side = 0; side < 2; ++side) {
        DataGrid(side)->onDrawCell = [this, side](QPainter& p, const QRect& cell, int column,
                                                  int row) {
            DataDraw(side, p, cell, column, row);
        };
        TextGrid(side)->onDrawCell = [this, side](QPainter& p, const QRect& cell, int column,
                                                  int row) {
            TextDraw(side, p, cell, column, row);
        };
        DataGrid(side)->onSelectCell = [this, side](int column, int row) {
            return DataSelect(side, column, row);
        };
        TextGrid(side)->onSelectCell = [this, side](int column, int row) {
            return TextSelect(side, column, row);
        };
        new TCellKeyFilter(
            DataEditor(side), true, [this, side] { Commit(0, side); },
            [this, side](int key, Qt::KeyboardModifiers m) { Navigate(key, m, side, false); });
        new TCellKeyFilter(
            TextEditor(side), false, [this, side] { Commit(1, side); },
            [this, side](int key, Qt::KeyboardModifiers m) { Navigate(key, m, side, true); });
        for (const bool text : {false, true}) {
            (text ? TextGrid(side) : DataGrid(side))->onKey =
                [this, side, text](int key, Qt::KeyboardModifiers modifiers) {
                    if (!IsCursorKey(key, modifiers)) {
                        return false;
                    }
                    Navigate(key, modifiers, side, text);
                    return true;
                };
        }
        TQuickButton* browse = side == 0 ? sbnSrcA : sbnSrcB;
        connect(browse, &QToolButton::clicked, this, [this, side] { DoBrowse(side); });
        connect(SaveButton(side), &QToolButton::clicked, this, [this, side] { DoSave(side); });
    }
    new TIndexClickFilter(edtIndex, [this](int letter) { ShowSegment(letter); });
    ConnectScrollButtons(
        scroll, this, [this] { return m_doc.TopRow(); }, [this] { return m_doc.LastTopRow(); },
        [this](qint64 row) { ShowPage(row); });
    connect(sbnPrevDiff, &QToolButton::clicked, this, [this] { GoToDifference(false); });
    connect(sbnNextDiff, &QToolButton::clicked, this, [this] { GoToDifference(true); });
    auto* next = new QShortcut(QKeySequence(Qt::Key_F3), this);
    connect(next, &QShortcut::activated, this, [this] { GoToDifference(true); });
    auto* previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this);
    connect(previous, &QShortcut::activated, this, [this] { GoToDifference(false); });
    // While a comparison runs, Esc stops it, as in Checksummer.
    auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(stop, &QShortcut::activated, this, &TfrmComp::DoStop);
    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(kProgressIntervalMs);
    connect(m_progressTimer, &QTimer::timeout, this, [this] {
        const qint64 length = std::min(m_doc.Side(0).size, m_doc.Side(1).size);
        if (m_control && length > 0 && !m_control->stop) {
            const double done = static_cast<double>(m_control->done) * 100.0 / double(length);
            ShowProgress(QString::fromUtf8(kComparingText).arg(RoundHalfEven(done)));
        }
    });
    connect(btnReSet, &QPushButton::clicked, this, &TfrmComp::DoReSet);
    connect(btnCompare, &QPushButton::clicked, this, &TfrmComp::DoCompare);

    AskSourceFile = [this](int) {
        return AskExistingFile(this, QStringLiteral("Select Source File"), PathSlots[0]);
    };
    AskSaveFile = [this](int side) {
        return AskDestinationFile(this, QStringLiteral("Select Destination File"), PathSlots[1],
                                  m_doc.Side(side).path);
    };
    AskUnsaved = [this](const QString& name) { return AskSaveChanges(this, name); };
    AskReplaceChanged = [this](const QString& name) {
        return QMessageBox::question(this, tr("File changed"),
                                     tr("%1 was changed by another program since it was opened. "
                                        "Replace it with the edited version?")
                                         .arg(name),
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    pgcComp->setCurrentIndex(0);
}

TfrmComp::~TfrmComp() {
    if (!m_worker.joinable()) {
        return;
    }
    m_control->stop = true;
    m_worker.join();
    // Closed while comparing: the main window leaves its busy state, keeping its text.
    if (TToolPanel* panel = Panel()) {
        panel->EndBusy(QString(), kBusyKeep, kStatusInfo);
    }
}

// ---- busy state and what is shown -----------------------------------------------------------

void TfrmComp::Busy(const char* text, int mode) {
    if (TToolPanel* panel = Panel()) {
        panel->BeginBusy(QString::fromUtf8(text), mode, kStatusInfo);
    }
}

void TfrmComp::Unbusy() {
    if (TToolPanel* panel = Panel()) {
        panel->EndBusy(QString(), kBusyHold, kStatusInfo);
    }
}

void TfrmComp::HideEditors() {
    for (int side = 0; side < 2; ++side) {
        DataEditor(side)->hide();
        TextEditor(side)->hide();
    }
}

void TfrmComp::UpdateScrollButtons() {
    ApplyScrollRules(scroll, m_doc.TopRow(), m_doc.LastTopRow());
    const bool shown = m_doc.Loaded(0) && m_doc.Loaded(1);
    sbnPrevDiff->setEnabled(shown);
    sbnNextDiff->setEnabled(shown);
}

void TfrmComp::UpdateSaveButtons() {
    sbnSaveA->setEnabled(m_doc.Modified(0));
    sbnSaveB->setEnabled(m_doc.Modified(1));
}

void TfrmComp::RepaintGrids() {
    for (QWidget* grid : std::initializer_list<QWidget*>{dgHead, dgOff, dgDatA, dgDatB, dgTextA,
                                                         dgTextB, dgReport}) {
        grid->update();
    }
}

void TfrmComp::ShowPath(int side, const QString& path) {
    PathPanel(side)->SetCaption(path);
}

void TfrmComp::ClearView() {
    HideEditors();
    m_doc.ClearView();
    edtSeg->clear();
    edtIndex->clear();
    RepaintGrids();
}

// ---- choosing, comparing --------------------------------------------------------------------

bool TfrmComp::ResolveUnsaved() {
    for (int side = 0; side < 2; ++side) {
        if (!m_doc.Loaded(side) || !m_doc.Modified(side)) {
            continue;
        }
        const QString name = PrintableName(NamePart(m_doc.Side(side).path));
        switch (AskUnsaved ? AskUnsaved(name) : TUnsavedAnswer::kCancel) {
            case TUnsavedAnswer::kSave:
                if (!DoSave(side)) {
                    return false;
                }
                break;
            case TUnsavedAnswer::kDiscard:
                break;
            case TUnsavedAnswer::kCancel:
                return false;
        }
    }
    return true;
}

bool TfrmComp::CanLeave() {
    if (Comparing() || (Panel() != nullptr && Panel()->IsBusy())) {
        return true;  // a running comparison is stopped as the window goes
    }
    return ResolveUnsaved();
}

void TfrmComp::ShowSizes() {
    for (int side = 0; side < 2; ++side) {
        SizeLabel(side)->setText(m_doc.PlainSizeText(side));
    }
}

void TfrmComp::DoBrowse(int side) {
    if (Comparing()) {
        return;
    }
    const QString path = AskSourceFile ? AskSourceFile(side) : QString();
    // Another file, or a new comparison, replaces the edits held: they are asked about.
    const bool compares = m_doc.Side(0).size > 0 && m_doc.Side(1).size > 0;
    if ((!path.isEmpty() || compares) && !ResolveUnsaved()) {
        return;
    }
    if (!path.isEmpty()) {
        m_doc.SetPath(side, path);
        SizeLabel(side)->setText(m_doc.SizeText(side));
        PathSlots[side] = WithTrailingSlash(FolderPart(path));
        ShowPath(side, path);
        ClearView();
    }
    if (m_doc.Side(0).size > 0 && m_doc.Side(1).size > 0) {
        m_asked = true;
        DoCompare();
        m_asked = false;
    }
    HideEditors();
    RepaintGrids();
}

void TfrmComp::DoCompare() {
    if (Comparing() || (!m_asked && !ResolveUnsaved())) {
        return;
    }
    ClearView();
    UpdateSaveButtons();
    Busy(kCompareReadingText, kBusyFade);
    try {
        m_doc.Begin();
    } catch (const EQuiva& error) {
        ClearView();
        EndWithError(error.Message());
        ShowSizes();
        UpdateScrollButtons();
        RepaintGrids();
        return;
    }
    ShowSizes();
    edtSeg->setText(m_doc.SegmentText());
    m_control = std::make_unique<TCompareControl>();
    // The worker sees only the two paths and the control; the outcome comes back queued.
    m_worker = std::thread(
        [this, a = m_doc.Side(0).path, b = m_doc.Side(1).path, control = m_control.get()] {
            TFileComparer::TOutcome outcome;
            QString failure;
            try {
                outcome = TFileComparer::Run(a, b, control);
            } catch (const EQuiva& error) {
                failure = error.Message();
            } catch (const std::exception& error) {
                failure = QString::fromLocal8Bit(error.what());
            }
            QMetaObject::invokeMethod(
                this, [this, outcome, failure] { WhenCompared(outcome, failure); },
                Qt::QueuedConnection);
        });
    m_progressTimer->start();
}

void TfrmComp::DoStop() {
    if (Comparing() && m_control) {
        m_control->stop = true;
    }
}

void TfrmComp::WhenCompared(const TFileComparer::TOutcome& outcome, const QString& failure) {
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_progressTimer->stop();
    m_control.reset();
    if (!failure.isEmpty()) {
        m_doc.Abandon();
        ClearView();
        EndWithError(failure);
    } else {
        try {
            m_doc.End(outcome);
            if (outcome.stopped) {
                ClearView();
                if (TToolPanel* panel = Panel()) {
                    panel->EndBusy(QString::fromUtf8(kCompareStoppedText), kBusyFade, kStatusInfo);
                }
            } else {
                edtSeg->setText(m_doc.SegmentText());
                edtIndex->setText(QString::fromLatin1(m_doc.Index()));
                Unbusy();
            }
        } catch (const EQuiva& error) {
            ClearView();
            EndWithError(error.Message());
        }
    }
    UpdateScrollButtons();
    UpdateSaveButtons();
    RepaintGrids();
}

std::optional<qint64> TfrmComp::SelectedOffset() const {
    const qint64 pageStart = m_doc.TopRow() * kBytesPerRow;
    if (m_doc.HexPosition() > 0 && (!edtDatA->isHidden() || !edtDatB->isHidden())) {
        return pageStart + (m_doc.HexPosition() - 1) / 2;
    }
    if (m_doc.TextPosition() > 0 && (!edtTextA->isHidden() || !edtTextB->isHidden())) {
        return pageStart + m_doc.TextPosition() - 1;
    }
    return std::nullopt;
}

void TfrmComp::GoToDifference(bool forward) {
    if (Comparing() || (Panel() != nullptr && Panel()->IsBusy()) || !m_doc.Loaded(0) ||
        !m_doc.Loaded(1)) {
        return;
    }
    const qint64 pageStart = m_doc.TopRow() * kBytesPerRow;
    const qint64 from = SelectedOffset().value_or(forward ? pageStart - 1 : pageStart);
    std::optional<qint64> found;
    try {
        found = m_doc.FindDifference(from, forward);
    } catch (const EQuiva& error) {
        Host().ShowStatus(error.Message(), false, kStatusError);
        return;
    }
    if (!found) {
        Host().ShowStatus(tr(forward ? kNoNextDifferenceText : kNoPreviousDifferenceText), false,
                          kStatusInfo);
        return;
    }
    pgcComp->setCurrentWidget(tsView);
    ShowPage(m_doc.RowShowing(*found));
    const qint64 onPage = *found - m_doc.TopRow() * kBytesPerRow;
    DataGrid(0)->SelectCell(static_cast<int>(onPage % kBytesPerRow),
                            static_cast<int>(onPage / kBytesPerRow));
}

void TfrmComp::Navigate(int key, Qt::KeyboardModifiers modifiers, int side, bool text) {
    if (Comparing() || (Panel() != nullptr && Panel()->IsBusy()) || !m_doc.Loaded(side)) {
        return;
    }
    const qint64 offset = SelectedOffset().value_or(m_doc.TopRow() * kBytesPerRow);
    const std::optional<TCursorMove> move = CursorAfterKey(
        key, modifiers, offset, m_doc.CommonLength(), m_doc.TopRow(), m_doc.LastTopRow());
    if (!move) {
        return;
    }
    if (move->topRow != m_doc.TopRow()) {
        ShowPage(move->topRow);
    }
    const qint64 onPage = move->offset - m_doc.TopRow() * kBytesPerRow;
    TByteGrid* grid = text ? TextGrid(side) : DataGrid(side);
    grid->SelectCell(static_cast<int>(onPage % kBytesPerRow),
                     static_cast<int>(onPage / kBytesPerRow));
}

void TfrmComp::ShowSegment(int letter) {
    const qint64 row = m_doc.SegmentRow(letter);
    if (row < 0) {
        return;
    }
    pgcComp->setCurrentWidget(tsView);
    ShowPage(std::min(row, m_doc.LastTopRow()));
}

// ---- the page -------------------------------------------------------------------------------

void TfrmComp::ShowPage(qint64 topRow) {
    HideEditors();
    Busy(kCompareReadingText, kBusyHold);
    try {
        m_doc.ShowPage(topRow);
        Unbusy();
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    }
    UpdateScrollButtons();
    RepaintGrids();
}

void TfrmComp::WhenScroll(int tag) {
    ShowPage(m_doc.TopRow() + tag);
}

void TfrmComp::WhenHomeEnd(int tag) {
    ShowPage(tag < 0 ? 0 : m_doc.LastTopRow());
}

void TfrmComp::WheelStep(bool forward, const QPoint& /*position*/) {
    if (Panel() != nullptr && Panel()->IsBusy()) {
        return;
    }
    if (const std::optional<qint64> row =
            WheelTopRow(forward, m_doc.TopRow(), m_doc.LastTopRow())) {
        ShowPage(*row);
    }
}

// ---- drawing --------------------------------------------------------------------------------

void TfrmComp::HeadDraw(QPainter& painter, const QRect& cell, int column) {
    QString text;
    if (column == 0) {
        text = QStringLiteral("Offset");
    } else if (column == 17) {
        text = QStringLiteral("Text A");
    } else if (column == 34) {
        text = QStringLiteral("Text B");
    } else {
        text = ColumnLabel((column - 1) % 17);
    }
    DrawHeadCell(painter, cell, text);
}

void TfrmComp::OffDraw(QPainter& painter, const QRect& cell, int row) {
    DrawOffsetCell(painter, cell, m_doc.Loaded(0) ? m_doc.RowOffsetText(row) : QString(), 7);
}

void TfrmComp::DataDraw(int side, QPainter& painter, const QRect& cell, int column, int row) {
    DrawByteCell(painter, cell, column, m_doc.HexCell(side, row, column));
}

void TfrmComp::TextDraw(int side, QPainter& painter, const QRect& cell, int column, int row) {
    const int index = TextCellIndex(row, column) - 1;
    DrawTextCell(painter, cell, m_doc.Marked(side, index) ? kDifferenceColour : kTextColour,
                 m_doc.Printable(side, index), m_doc.TextCell(side, row, column));
}

void TfrmComp::ReportDraw(QPainter& painter, const QRect& cell, int column, int row) {
    const int group = column / 3;
    const int kind = column % 3;
    if (row == 0) {
        static const std::array<QString, 3> kHeadings{
            QStringLiteral("Offset"), QStringLiteral("File A"), QStringLiteral("File B")};
        DrawLabelCell(painter, cell, kHeadings[kind]);
        return;
    }
    static const std::array<QColor, 3> kBrushes{kOffsetColour, kTextColour, kDifferenceColour};
    painter.fillRect(cell, kBrushes[kind]);
    const int entry = row - 1 + 16 * group;
    if (entry >= m_doc.Report().size()) {
        return;
    }
    const TDifference& difference = m_doc.Report()[entry];
    const QString text = kind == 0   ? OffsetHex(difference.offset)
                         : kind == 1 ? ByteHex(difference.a)
                                     : ByteHex(difference.b);
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(kNavy);
    DrawCentredText(painter, cell, text);
}

// ---- selection and editing ------------------------------------------------------------------

bool TfrmComp::DataSelect(int side, int column, int row) {
    const bool can = m_doc.SelectData(side, row, column);
    for (int s = 0; s < 2; ++s) {
        DataEditor(s)->setVisible(false);
    }
    if (!can) {
        return false;
    }
    for (int s = 0; s < 2; ++s) {
        DataEditor(s)->setText(m_doc.SelectedHex(s));
        DataGrid(s)->PlaceEditor(column, row,
                                 EditorExtraWidth(DataEditor(s), DataGrid(s)->ColumnWidth(0)));
    }
    if (!m_followUp) {
        DataEditor(side)->setFocus();
        m_followUp = true;
        TextGrid(side)->SelectCell(column, row);
    }
    m_followUp = false;
    return true;
}

bool TfrmComp::TextSelect(int side, int column, int row) {
    const bool can = m_doc.SelectText(side, row, column);
    for (int s = 0; s < 2; ++s) {
        TextEditor(s)->setVisible(false);
    }
    if (!can) {
        return false;
    }
    const int extra = static_cast<int>(std::lround(1.5 * TextGrid(side)->ColumnWidth(0)));
    for (int s = 0; s < 2; ++s) {
        TextEditor(s)->setText(m_doc.SelectedChar(s));
        TextGrid(s)->PlaceEditor(column, row, extra);
    }
    if (!m_followUp) {
        TextEditor(side)->setFocus();
        m_followUp = true;
        DataGrid(side)->SelectCell(column, row);
    }
    m_followUp = false;
    return true;
}

bool TfrmComp::ReportSelect(int column, int row) {
    return row >= 1 && row <= m_doc.Report().size() && (column == 1 || column == 2);
}

void TfrmComp::Commit(int which, int side) {
    if ((Panel() != nullptr && Panel()->IsBusy()) || !m_doc.Loaded(side)) {
        return;
    }
    try {
        if (which == 0) {
            if (DataEditor(side)->isHidden()) {
                return;
            }
            TextEditor(side)->setText(m_doc.CommitHex(side, DataEditor(side)->text()));
        } else {
            if (TextEditor(side)->isHidden()) {
                return;
            }
            if (const std::optional<QString> hex =
                    m_doc.CommitText(side, TextEditor(side)->text())) {
                DataEditor(side)->setText(*hex);
            } else if (!TextEditor(side)->text().isEmpty()) {
                TextEditor(side)->setText(m_doc.SelectedChar(side));
            }
        }
    } catch (const EQuiva& error) {
        Host().ShowStatus(error.Message(), false, kStatusError);
    }
    UpdateSaveButtons();
    for (int s = 0; s < 2; ++s) {
        DataGrid(s)->update();
        TextGrid(s)->update();
    }
}

// ---- save and reset -------------------------------------------------------------------------

bool TfrmComp::DoSave(int side) {
    const QString path = AskSaveFile ? AskSaveFile(side) : QString();
    if (path.isEmpty()) {
        RepaintGrids();
        return false;
    }
    // Another program replaced the file that is to be overwritten: the user decides.
    if (m_doc.Loaded(side) && m_doc.SourceState(side) == TSourceState::kReplaced &&
        FollowLinks(path) == FollowLinks(m_doc.Side(side).path) &&
        !(AskReplaceChanged && AskReplaceChanged(PrintableName(NamePart(path))))) {
        return false;
    }
    PathSlots[side] = WithTrailingSlash(FolderPart(path));
    HideEditors();
    Busy(kCompareSavingText, kBusyFade);
    bool saved = false;
    try {
        m_doc.Save(side, path, [this](int percent) { ShowProgress(PercentDoneText(percent)); });
        ShowPath(side, path);
        if (TToolPanel* panel = Panel()) {
            panel->EndBusy(QString(), kBusyKeep, kStatusInfo);
        }
        saved = true;
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    }
    UpdateSaveButtons();
    UpdateScrollButtons();
    RepaintGrids();
    return saved;
}

void TfrmComp::DoReSet() {
    if (Comparing() || !ResolveUnsaved()) {
        return;
    }
    ClearView();
    m_doc.Reset();
    for (int side = 0; side < 2; ++side) {
        ShowPath(side, QString());
        SizeLabel(side)->clear();
    }
    UpdateScrollButtons();
    UpdateSaveButtons();
    RepaintGrids();
}

// ---- the timestamp watch --------------------------------------------------------------------

void TfrmComp::PeriodicCheck() {
    if (Panel() != nullptr && Panel()->IsBusy()) {
        return;
    }
    if (const int changed = m_doc.CheckTimestamps(); changed != 0) {
        Host().ShowStatus(QString::fromUtf8(kCompareTimestampTexts[changed]), false, kStatusError);
    }
}

// ---- settings -------------------------------------------------------------------------------

void TfrmComp::SaveSettings() {
    TCompareSettings settings;
    settings.pathA = m_doc.Side(0).path;
    settings.pathB = m_doc.Side(1).path;
    settings.page = pgcComp->currentIndex();
    SaveCompareSettings(Stores(), settings);
}

void TfrmComp::LoadSettings() {
    const std::optional<TCompareSettings> settings = LoadCompareSettings(Stores());
    if (!settings) {
        return;
    }
    m_loading = true;
    if (settings->page >= 0) {
        pgcComp->setCurrentIndex(settings->page);
    }
    for (int side = 0; side < 2; ++side) {
        const QString& path = side == 0 ? settings->pathA : settings->pathB;
        if (!path.isEmpty()) {
            m_doc.SetPath(side, path);
            ShowPath(side, path);
        }
    }
    if (!settings->openFolder.isEmpty()) {
        PathSlots[0] = settings->openFolder;
    }
    if (!settings->saveFolder.isEmpty()) {
        PathSlots[1] = settings->saveFolder;
    }
    m_doc.RefreshSizes();
    ShowSizes();
    m_loading = false;
    if (m_doc.Side(0).size > 0 && m_doc.Side(1).size > 0) {
        DoCompare();
    }
}
