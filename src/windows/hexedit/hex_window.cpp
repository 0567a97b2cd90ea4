#include "windows/hexedit/hex_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/common/hex_text.h"
#include "tools/hexedit/hex_settings.h"
#include "ui/ell_path.h"
#include "ui/quick_button.h"
#include "ui/window_parts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyle>

namespace {

constexpr int kClientWidth = 610;
constexpr int kClientHeight = 480;
constexpr int kFileHeight = 33;
constexpr int kRowHeight = 19;
constexpr int kOffsetWidth = 67;
constexpr int kDataCellWidth = 22;
constexpr int kTextCellWidth = 10;
constexpr int kScrollWidth = 25;
constexpr int kGridTop = 2 + kRowHeight + 2;
constexpr int kMainHeight = kGridTop + kRowHeight * kRowsPerPage + 4;

QFrame* MakeBevel(QWidget* parent, const char* name) {
    auto* bevel = Named(new QFrame(parent), name);
    bevel->setFrameStyle(QFrame::VLine | QFrame::Sunken);
    return bevel;
}

// The check box tells its mouse-up, after its state changed.
class TMouseUpFilter : public QObject {
public:
    TMouseUpFilter(QWidget* watched, std::function<void()> onMouseUp)
        : QObject(watched), m_onMouseUp(std::move(onMouseUp)) {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease) {
            QMetaObject::invokeMethod(this, m_onMouseUp, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_onMouseUp;
};

}  // namespace

TfrmHex::TfrmHex(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kClientWidth, kClientHeight);

    // ---- the source -----------------------------------------------------------------------
    pnlFile = MakePanel(this, "pnlFile");
    pnlFile->setGeometry(0, 0, kClientWidth, kFileHeight);
    lblSource = Named(new QLabel(QStringLiteral("Source File"), pnlFile), "lblSource");
    lblSource->setGeometry(6, 8, 64, 17);
    stSource = Named(new TEllPath(pnlFile), "stSource");
    stSource->setGeometry(72, 5, 330, 23);
    sbnSBrowse = Named(new TQuickButton(pnlFile), "sbnSBrowse");
    sbnSBrowse->setIcon(sbnSBrowse->style()->standardIcon(QStyle::SP_DirOpenIcon));
    sbnSBrowse->setGeometry(405, 5, 25, 23);
    lblSize = Named(new QLabel(pnlFile), "lblSize");
    lblSize->setGeometry(436, 8, kClientWidth - 442, 17);
    lblSize->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    // ---- the grids ------------------------------------------------------------------------
    pnlMain = MakePanel(this, "pnlMain");
    pnlMain->setFrameStyle(QFrame::NoFrame);
    pnlMain->setGeometry(0, kFileHeight, kClientWidth, kMainHeight);
    pnlData = MakePanel(pnlMain, "pnlData");
    pnlData->setGeometry(0, 0, kClientWidth - kScrollWidth, kMainHeight);
    scroll = MakeScrollButtons(pnlMain, kScrollWidth, kMainHeight);
    scroll.panel->move(kClientWidth - kScrollWidth, 0);
    sbnHome = scroll.Home();
    sbnPgUp = scroll.PgUp();
    sbnLineUp = scroll.LineUp();
    sbnLineDn = scroll.LineDn();
    sbnPgDn = scroll.PgDn();
    sbnEnd = scroll.End();

    const int dataLeft = 2 + kOffsetWidth + 2;
    const int textLeft = dataLeft + kDataCellWidth * kBytesPerRow + 2;
    const int headWidth = textLeft + kTextCellWidth * kBytesPerRow - 2;
    dgHead = Named(new TDrawGrid(18, 1, pnlData), "dgHead");
    dgHead->SetColor(Qt::white);
    dgHead->SetRowHeight(kRowHeight);
    dgHead->setGeometry(2, 2, headWidth, kRowHeight);
    dgHead->setFocusPolicy(Qt::NoFocus);
    dgHead->SetColumnWidth(0, kOffsetWidth + 2);
    for (int c = 1; c <= 16; ++c) {
        dgHead->SetColumnWidth(c, kDataCellWidth);
    }
    dgHead->SetColumnWidth(17, headWidth - (kOffsetWidth + 2) - 16 * kDataCellWidth);
    bvlOne = Named(new QFrame(pnlData), "bvlOne");
    bvlOne->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    bvlOne->setGeometry(2, kGridTop - 2, headWidth, 2);

    dgOff = Named(new TDrawGrid(1, kRowsPerPage, pnlData), "dgOff");
    dgOff->SetColor(kOffsetColour);
    dgOff->SetRowHeight(kRowHeight);
    dgOff->SetDefaultColumnWidth(kOffsetWidth);
    dgOff->setGeometry(2, kGridTop, kOffsetWidth, kRowHeight * kRowsPerPage);
    dgOff->setEnabled(false);
    bvlTwo = MakeBevel(pnlData, "bvlTwo");
    bvlTwo->setGeometry(2 + kOffsetWidth, kGridTop, 2, kRowHeight * kRowsPerPage);

    dgData = Named(new TByteGrid(kBytesPerRow, kRowsPerPage, pnlData), "dgData");
    dgData->SetColor(kDataColour);
    dgData->SetRowHeight(kRowHeight);
    dgData->SetDefaultColumnWidth(kDataCellWidth);
    dgData->setGeometry(dataLeft, kGridTop, kDataCellWidth * kBytesPerRow,
                        kRowHeight * kRowsPerPage);
    edtData = MakeCellEditor(dgData, "edtData", 2, true, false);
    dgData->SetEditor(edtData);
    bvlThree = MakeBevel(pnlData, "bvlThree");
    bvlThree->setGeometry(textLeft - 2, kGridTop, 2, kRowHeight * kRowsPerPage);

    dgText = Named(new TByteGrid(kBytesPerRow, kRowsPerPage, pnlData), "dgText");
    dgText->SetColor(kTextColour);
    dgText->SetRowHeight(kRowHeight);
    dgText->SetDefaultColumnWidth(kTextCellWidth);
    dgText->setGeometry(textLeft, kGridTop, kTextCellWidth * kBytesPerRow,
                        kRowHeight * kRowsPerPage);
    edtText = MakeCellEditor(dgText, "edtText", 1, false, false);
    dgText->SetEditor(edtText);

    // ---- the inspector and the actions ------------------------------------------------------
    pnlInfo = MakePanel(this, "pnlInfo");
    pnlInfo->setGeometry(0, kFileHeight + kMainHeight, kClientWidth,
                         kClientHeight - kFileHeight - kMainHeight);
    lblInter = Named(new QLabel(QStringLiteral("Interpret"), pnlInfo), "lblInter");
    lblInter->setGeometry(8, 6, 90, 16);
    cbInter = Named(new QComboBox(pnlInfo), "cbInter");
    for (const char* name : kInterpretationNames) {
        cbInter->addItem(QString::fromLatin1(name));
    }
    cbInter->setGeometry(8, 23, 90, 23);
    cbxBigEnd = Named(new QCheckBox(QStringLiteral("Big Endian"), pnlInfo), "cbxBigEnd");
    cbxBigEnd->setGeometry(8, 52, 100, 20);

    dgInfo = Named(new TDrawGrid(2, 3, pnlInfo), "dgInfo");
    dgInfo->SetGridLines(true);
    dgInfo->SetRowHeight(kRowHeight);
    dgInfo->SetColor(kTextColour);
    const int infoWidth = 230;
    dgInfo->setGeometry(110, 6, infoWidth, 3 * (kRowHeight + 1));
    {
        QFont bold = font();
        bold.setPointSize(8);
        bold.setBold(true);
        const int labelWidth = QFontMetrics(bold).horizontalAdvance(QStringLiteral("UNICODE")) + 19;
        dgInfo->SetColumnWidth(0, labelWidth);
        dgInfo->SetColumnWidth(1, infoWidth - labelWidth - 3 * dgInfo->GridLineWidth());
    }

    lblNBytes = Named(new QLabel(QStringLiteral("1 Byte"), pnlInfo), "lblNBytes");
    lblNBytes->setGeometry(352, 6, 120, 16);
    tbNBytes = Named(new QSlider(Qt::Horizontal, pnlInfo), "tbNBytes");
    tbNBytes->setRange(kMinRunBytes, kMaxRunBytes);
    tbNBytes->setPageStep(3);
    tbNBytes->setGeometry(352, 23, 120, 24);
    lblVByte = Named(new QLabel(QStringLiteral("$00"), pnlInfo), "lblVByte");
    lblVByte->setGeometry(482, 6, 120, 16);
    tbVByte = Named(new QSlider(Qt::Horizontal, pnlInfo), "tbVByte");
    tbVByte->setRange(0, kMaxByteValue);
    tbVByte->setPageStep(16);
    tbVByte->setGeometry(482, 23, 120, 24);

    const int buttonsTop = pnlInfo->height() - 34;
    btnDelete = Named(new QPushButton(QStringLiteral("Delete"), pnlInfo), "btnDelete");
    btnDelete->setGeometry(352, 52, 120, 25);
    btnAdd = Named(new QPushButton(QStringLiteral("Add"), pnlInfo), "btnAdd");
    btnAdd->setGeometry(482, 52, 120, 25);
    btnRefresh = Named(new QPushButton(QStringLiteral("Reload"), pnlInfo), "btnRefresh");
    btnRefresh->setGeometry(110, buttonsTop, 80, 25);
    btnSave = Named(new QPushButton(QStringLiteral("Save"), pnlInfo), "btnSave");
    btnSave->setGeometry(196, buttonsTop, 80, 25);
    btnClear = Named(new QPushButton(QStringLiteral("Reset"), pnlInfo), "btnClear");
    btnClear->setGeometry(kClientWidth - 88, buttonsTop, 80, 25);
    btnRefresh->setEnabled(false);
    btnSave->setEnabled(false);

    // ---- hints ------------------------------------------------------------------------------
    SetHint(sbnSBrowse, QStringLiteral("Browse|Select file to view"));
    SetHint(stSource, QStringLiteral("|File being viewed"));
    SetHint(dgOff, QStringLiteral("|Offset from start of file"));
    SetHint(dgData, QStringLiteral("|Hexadecimal byte values"));
    SetHint(edtData, QStringLiteral("|Edit hexadecimal value"));
    SetHint(dgText, QStringLiteral("|Values from 32..255 shown as text"));
    SetHint(edtText, QStringLiteral("|Edit text character"));
    SetHint(cbInter, QStringLiteral("|Byte, Word, DWORD or QWORD"));
    SetHint(dgInfo, QStringLiteral("|Click to copy value to clipboard"));
    SetHint(cbxBigEnd, QStringLiteral("|Byte storage order - High to Low"));
    SetHint(tbNBytes, QStringLiteral("|Number of bytes to add/delete"));
    SetHint(tbVByte, QStringLiteral("|Value to add"));
    SetHint(btnDelete, QStringLiteral("|Delete Byte(s)"));
    SetHint(btnAdd, QStringLiteral("|Add Byte(s)"));
    SetHint(btnRefresh, QStringLiteral("|Reload source file"));
    SetHint(btnSave, QStringLiteral("|Save modified file"));
    SetHint(btnClear, QStringLiteral("|Discard stored information"));

    // ---- handlers ---------------------------------------------------------------------------
    dgHead->onDrawCell = [this](QPainter& p, const QRect& cell, int column, int) {
        HeadDraw(p, cell, column);
    };
    dgOff->onDrawCell = [this](QPainter& p, const QRect& cell, int, int row) {
        OffDraw(p, cell, row);
    };
    dgData->onDrawCell = [this](QPainter& p, const QRect& cell, int column, int row) {
        DataDraw(p, cell, column, row);
    };
    dgText->onDrawCell = [this](QPainter& p, const QRect& cell, int column, int row) {
        TextDraw(p, cell, column, row);
    };
    dgInfo->onDrawCell = [this](QPainter& p, const QRect& cell, int column, int row) {
        InfoDraw(p, cell, column, row);
    };
    dgData->onSelectCell = [this](int column, int row) { return DataSelect(column, row); };
    dgText->onSelectCell = [this](int column, int row) { return TextSelect(column, row); };
    dgInfo->onSelectCell = [this](int column, int row) { return InfoSelect(column, row); };
    const auto navigate = [this](bool text) {
        return [this, text](int key, Qt::KeyboardModifiers modifiers) {
            Navigate(key, modifiers, text);
        };
    };
    new TCellKeyFilter(
        edtData, true, [this] { Commit(0); }, navigate(false));
    new TCellKeyFilter(
        edtText, false, [this] { Commit(1); }, navigate(true));
    for (TByteGrid* grid : {dgData, dgText}) {
        grid->onKey = [this, grid](int key, Qt::KeyboardModifiers modifiers) {
            if (!IsCursorKey(key, modifiers)) {
                return false;
            }
            Navigate(key, modifiers, grid == dgText);
            return true;
        };
    }
    new TMouseUpFilter(cbxBigEnd, [this] { ComputeValues(); });

    connect(sbnSBrowse, &QToolButton::clicked, this, &TfrmHex::DoBrowse);
    ConnectScrollButtons(
        scroll, this, [this] { return m_doc.TopRow(); }, [this] { return m_doc.LastTopRow(); },
        [this](qint64 row) { ShowPage(row); });
    connect(cbInter, &QComboBox::currentIndexChanged, this, &TfrmHex::InterSelect);
    connect(tbNBytes, &QSlider::valueChanged, this, &TfrmHex::NBChange);
    connect(tbVByte, &QSlider::valueChanged, this, &TfrmHex::VBChange);
    connect(btnDelete, &QPushButton::clicked, this, &TfrmHex::DoDelete);
    connect(btnAdd, &QPushButton::clicked, this, &TfrmHex::DoAdd);
    connect(btnRefresh, &QPushButton::clicked, this, &TfrmHex::DoRefresh);
    connect(btnSave, &QPushButton::clicked, this, &TfrmHex::DoSave);
    connect(btnClear, &QPushButton::clicked, this, &TfrmHex::DoReSet);

    AskSourceFile = [this] {
        return AskExistingFile(this, QStringLiteral("Select File"), PathSlots[0]);
    };
    AskSaveFile = [this] {
        return AskDestinationFile(this, QStringLiteral("Select Destination File"), PathSlots[1],
                                  PathSlots[2]);
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
}

TfrmHex::~TfrmHex() = default;  // the document closes and deletes the working copy

// ---- busy state ---------------------------------------------------------------------------

void TfrmHex::Busy(const char* text) {
    if (TToolPanel* panel = Panel()) {
        panel->BeginBusy(QString::fromUtf8(text), kBusyHold, kStatusInfo);
    }
}

void TfrmHex::Unbusy() {
    if (TToolPanel* panel = Panel()) {
        panel->EndBusy(QString(), kBusyHold, kStatusInfo);
    }
}

// ---- state shown ----------------------------------------------------------------------------

void TfrmHex::HideEditors() {
    edtData->hide();
    edtText->hide();
}

void TfrmHex::UpdateScrollButtons() {
    ApplyScrollRules(scroll, m_doc.TopRow(), m_doc.LastTopRow());
    HideEditors();
}

void TfrmHex::UpdateFileButtons() {
    btnSave->setEnabled(m_doc.Modified());
    btnRefresh->setEnabled(m_doc.Modified() || m_doc.TimestampChanged());
}

void TfrmHex::RepaintGrids() {
    dgOff->update();
    dgData->update();
    dgText->update();
    dgInfo->update();
}

void TfrmHex::ShowSource(const QString& path) {
    PathSlots[2] = path;
    stSource->SetCaption(path);
}

void TfrmHex::ComputeValues() {
    m_values = m_doc.Values(cbInter->currentIndex(), cbxBigEnd->isChecked());
    dgInfo->update();
}

// ---- loading --------------------------------------------------------------------------------

void TfrmHex::Load() {
    lblSize->clear();
    Busy(kHexReadingText);
    HideEditors();
    m_values = {};
    m_doc.SetSourcePath(PathSlots[2]);
    bool loaded = false;
    try {
        m_doc.Load();
        lblSize->setText(m_doc.SizeText());
        Unbusy();
        loaded = true;
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    } catch (const std::exception& error) {
        EndWithError(QString::fromLocal8Bit(error.what()));
    }
    if (loaded) {
        pnlInfo->setEnabled(m_doc.ByteSize() > 0);
    }
    UpdateFileButtons();
    UpdateScrollButtons();
    RepaintGrids();
}

bool TfrmHex::ResolveUnsaved() {
    if (!m_doc.Loaded() || !m_doc.Modified()) {
        return true;
    }
    const QString name = PrintableName(NamePart(m_doc.SourcePath()));
    switch (AskUnsaved ? AskUnsaved(name) : TUnsavedAnswer::kCancel) {
        case TUnsavedAnswer::kSave:
            return DoSave();
        case TUnsavedAnswer::kDiscard:
            return true;
        case TUnsavedAnswer::kCancel:
            break;
    }
    return false;
}

bool TfrmHex::CanLeave() {
    if (Panel() != nullptr && Panel()->IsBusy()) {
        return true;
    }
    return ResolveUnsaved();
}

void TfrmHex::DoBrowse() {
    const QString path = AskSourceFile ? AskSourceFile() : QString();
    if (path.isEmpty() || !ResolveUnsaved()) {
        return;
    }
    ShowSource(path);
    PathSlots[0] = WithTrailingSlash(FolderPart(path));
    Load();
}

void TfrmHex::DoRefresh() {
    if (ResolveUnsaved()) {
        Load();
    }
}

void TfrmHex::Navigate(int key, Qt::KeyboardModifiers modifiers, bool text) {
    if (!m_doc.Loaded() || (Panel() != nullptr && Panel()->IsBusy())) {
        return;
    }
    const int index = text ? m_doc.TextPosition() : (m_doc.HexPosition() + 1) / 2;
    const qint64 offset = m_doc.TopRow() * kBytesPerRow + std::max(index - 1, 0);
    const std::optional<TCursorMove> move = CursorAfterKey(key, modifiers, offset, m_doc.ByteSize(),
                                                           m_doc.TopRow(), m_doc.LastTopRow());
    if (!move) {
        return;
    }
    if (move->topRow != m_doc.TopRow()) {
        ShowPage(move->topRow);
    }
    const qint64 onPage = move->offset - m_doc.TopRow() * kBytesPerRow;
    const int row = static_cast<int>(onPage / kBytesPerRow);
    const int column = static_cast<int>(onPage % kBytesPerRow);
    (text ? dgText : dgData)->SelectCell(column, row);
}

// ---- the page -------------------------------------------------------------------------------

void TfrmHex::ShowPage(qint64 topRow) {
    Busy(kHexReadingPageText);
    HideEditors();
    m_values = {};
    try {
        m_doc.ShowPage(topRow);
        Unbusy();
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    }
    UpdateScrollButtons();
    UpdateFileButtons();
    RepaintGrids();
}

void TfrmHex::WhenScroll(int tag) {
    ShowPage(m_doc.TopRow() + tag);
}

void TfrmHex::WhenHomeEnd(int tag) {
    ShowPage(tag < 0 ? 0 : m_doc.LastTopRow());
}

void TfrmHex::WheelStep(bool forward, const QPoint& /*position*/) {
    if (Panel() != nullptr && Panel()->IsBusy()) {
        return;
    }
    if (const std::optional<qint64> row =
            WheelTopRow(forward, m_doc.TopRow(), m_doc.LastTopRow())) {
        ShowPage(*row);
    }
}

// ---- drawing --------------------------------------------------------------------------------

void TfrmHex::HeadDraw(QPainter& painter, const QRect& cell, int column) {
    QString text;
    if (column == 0) {
        text = QStringLiteral("Offset");
    } else if (column == 17) {
        text = QStringLiteral("Text");
    } else {
        text = ColumnLabel(column - 1);
    }
    DrawHeadCell(painter, cell, text);
}

void TfrmHex::OffDraw(QPainter& painter, const QRect& cell, int row) {
    DrawOffsetCell(painter, cell, m_doc.Loaded() ? m_doc.RowOffsetText(row) : QString(), 8);
}

void TfrmHex::DataDraw(QPainter& painter, const QRect& cell, int column, int row) {
    DrawByteCell(painter, cell, column, m_doc.HexCell(row, column));
}

void TfrmHex::TextDraw(QPainter& painter, const QRect& cell, int column, int row) {
    const int index = TextCellIndex(row, column) - 1;
    DrawTextCell(painter, cell, kTextColour, m_doc.Printable(index), m_doc.TextCell(row, column));
}

void TfrmHex::InfoDraw(QPainter& painter, const QRect& cell, int column, int row) {
    const int interpretation = cbInter->currentIndex();
    if (column == 0) {
        const QString label = interpretation >= 0 && interpretation < int(kInspectorLabels.size())
                                  ? QString::fromLatin1(kInspectorLabels[interpretation][row])
                                  : QString();
        DrawLabelCell(painter, cell, label);
        return;
    }
    painter.fillRect(cell, kTextColour);
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(m_values[row].valid ? QColor(Qt::black) : kRedText);
    DrawCentredText(painter, cell, m_values[row].text);
}

// ---- selection ------------------------------------------------------------------------------

bool TfrmHex::DataSelect(int column, int row) {
    if (!m_doc.SelectData(row, column)) {
        edtData->hide();
        return false;
    }
    edtData->setText(m_doc.SelectedHex());
    dgData->PlaceEditor(column, row);
    if (!m_followUp) {
        edtData->setFocus();
        m_followUp = true;
        dgText->SelectCell(column, row);
        m_followUp = false;
    }
    ComputeValues();
    return true;
}

bool TfrmHex::TextSelect(int column, int row) {
    if (!m_doc.SelectText(row, column)) {
        edtText->hide();
        return false;
    }
    edtText->setText(m_doc.SelectedChar());
    dgText->PlaceEditor(column, row);
    if (!m_followUp) {
        edtText->setFocus();
        m_followUp = true;
        dgData->SelectCell(column, row);
        m_followUp = false;
    }
    return true;
}

bool TfrmHex::InfoSelect(int column, int row) {
    if (column != 1) {
        return false;
    }
    if (!m_values[row].text.isEmpty()) {
        CopyTextToClipboard(m_values[row].text);
        Host().ShowStatus(QString::fromUtf8(kHexCopiedText), false, kStatusInfo);
    }
    return true;
}

void TfrmHex::InterSelect() {
    ComputeValues();
}

void TfrmHex::NBChange() {
    const int count = tbNBytes->value();
    lblNBytes->setText(count == 1 ? QStringLiteral("1 Byte")
                                  : QStringLiteral("%1 Bytes").arg(count));
}

void TfrmHex::VBChange() {
    lblVByte->setText(
        QStringLiteral("$") +
        QStringLiteral("%1").arg(tbVByte->value(), 2, 16, QLatin1Char('0')).toUpper());
}

// ---- editing --------------------------------------------------------------------------------

void TfrmHex::Commit(int which) {
    // A commit that was posted before a long action began finds its edit box hidden.
    if ((Panel() != nullptr && Panel()->IsBusy()) || !m_doc.Loaded()) {
        return;
    }
    try {
        if (which == 0) {
            if (edtData->isHidden()) {
                return;
            }
            edtText->setText(m_doc.CommitHex(edtData->text()));
        } else {
            if (edtText->isHidden()) {
                return;
            }
            if (const std::optional<QString> hex = m_doc.CommitText(edtText->text())) {
                edtData->setText(*hex);
            } else if (!edtText->text().isEmpty()) {
                edtText->setText(m_doc.SelectedChar());  // a character that is not one byte
            }
        }
    } catch (const EQuiva& error) {
        Host().ShowStatus(error.Message(), false, kStatusError);
    }
    UpdateFileButtons();
    dgData->update();
    dgText->update();
    ComputeValues();
}

// ---- insert, delete, save, reset ------------------------------------------------------------

void TfrmHex::DoAdd() {
    if (m_doc.HexPosition() <= 0) {
        Host().ShowStatus(QString::fromUtf8(kHexNoSelectionMessage), false, kStatusError);
        return;
    }
    // The value shown in lblVByte after the "$" is what goes in.
    const quint8 value = static_cast<quint8>(lblVByte->text().mid(1).toUInt(nullptr, 16));
    HideEditors();
    Busy(kHexUpdatingText);
    m_values = {};
    try {
        m_doc.Add(tbNBytes->value(), value);
        lblSize->setText(m_doc.SizeText());
        Unbusy();
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    }
    UpdateFileButtons();
    UpdateScrollButtons();
    RepaintGrids();
}

void TfrmHex::DoDelete() {
    if (m_doc.HexPosition() <= 0) {
        Host().ShowStatus(QString::fromUtf8(kHexNoSelectionMessage), false, kStatusError);
        return;
    }
    if (qint64(tbNBytes->value()) >= m_doc.ByteSize()) {
        Host().ShowStatus(QString::fromUtf8(kHexDeleteAllMessage), false, kStatusError);
        return;
    }
    HideEditors();
    Busy(kHexUpdatingText);
    m_values = {};
    try {
        m_doc.Delete(tbNBytes->value());
        lblSize->setText(m_doc.SizeText());
        Unbusy();
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    }
    UpdateFileButtons();
    UpdateScrollButtons();
    RepaintGrids();
}

bool TfrmHex::DoSave() {
    const QString path = AskSaveFile ? AskSaveFile() : QString();
    if (path.isEmpty()) {
        return false;
    }
    // Another program replaced the file that is to be overwritten: its new content would
    // be lost, so the user decides.
    if (m_doc.Loaded() && m_doc.SourceState() == TSourceState::kReplaced &&
        FollowLinks(path) == FollowLinks(m_doc.SourcePath()) &&
        !(AskReplaceChanged && AskReplaceChanged(PrintableName(NamePart(path))))) {
        return false;
    }
    PathSlots[1] = WithTrailingSlash(FolderPart(path));
    HideEditors();
    m_values = {};
    Busy(kHexSavingText);
    bool saved = false;
    try {
        m_doc.Save(path, [this](int percent) { ShowProgress(PercentDoneText(percent)); });
        // The written file is the source from now on.
        ShowSource(path);
        lblSize->setText(m_doc.SizeText());
        Unbusy();
        saved = true;
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    }
    UpdateFileButtons();
    UpdateScrollButtons();
    RepaintGrids();
    return saved;
}

void TfrmHex::DoReSet() {
    if (!ResolveUnsaved()) {
        return;
    }
    ShowSource(QString());
    PathSlots[0] = WindowsFolder();
    PathSlots[1] = WindowsFolder();
    cbInter->setCurrentIndex(0);
    cbxBigEnd->setChecked(false);
    tbNBytes->setValue(1);
    tbVByte->setValue(0);
    m_doc.Reset();
    m_values = {};
    lblSize->clear();
    btnSave->setEnabled(false);
    btnRefresh->setEnabled(false);
    HideEditors();
    pnlInfo->setEnabled(false);
    UpdateScrollButtons();
    RepaintGrids();
}

// ---- the timestamp watch --------------------------------------------------------------------

void TfrmHex::PeriodicCheck() {
    if (Panel() != nullptr && Panel()->IsBusy()) {
        return;
    }
    if (m_doc.CheckTimestamp()) {
        btnRefresh->setEnabled(true);
        Host().ShowStatus(QString::fromUtf8(kHexTimestampText), false, kStatusInfo);
    }
}

// ---- settings -------------------------------------------------------------------------------

void TfrmHex::SaveSettings() {
    THexSettings settings;
    settings.source = PathSlots[2];
    settings.saveFolder = PathSlots[1];
    settings.interpretation = cbInter->currentIndex();
    settings.bigEndian = cbxBigEnd->isChecked();
    settings.runBytes = tbNBytes->value();
    settings.byteValue = tbVByte->value();
    SaveHexSettings(Stores(), settings);
}

void TfrmHex::LoadSettings() {
    const std::optional<THexSettings> settings = LoadHexSettings(Stores());
    if (!settings) {
        return;
    }
    m_loading = true;
    if (!settings->source.isEmpty()) {
        ShowSource(settings->source);
    }
    if (!settings->openFolder.isEmpty()) {
        PathSlots[0] = settings->openFolder;
    }
    if (!settings->saveFolder.isEmpty()) {
        PathSlots[1] = settings->saveFolder;
    }
    cbInter->setCurrentIndex(settings->interpretation);
    cbxBigEnd->setChecked(settings->bigEndian);
    tbNBytes->setValue(settings->runBytes);
    tbVByte->setValue(settings->byteValue);
    m_loading = false;
    if (!settings->source.isEmpty()) {
        // Loaded once the window is running.
        QMetaObject::invokeMethod(this, &TfrmHex::Load, Qt::QueuedConnection);
    }
}
