#include "windows/checksummer/hash_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "storage/tool_state.h"
#include "tools/checksummer/checksummer.h"
#include "tools/common/size_parts.h"
#include "ui/ell_path.h"

#include <QClipboard>
#include <QEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QToolButton>

#include <algorithm>

namespace {

constexpr const char* kToolKey = "Hash";
constexpr int kWindowWidth = 401;
constexpr int kWindowHeight = 242;
constexpr int kRowHeight = 26;
constexpr int kTextIndent = 4;
constexpr int kGridLineWidth = 1;
// The widest result: SHA-256 and Quivash, 64 hex digits.
constexpr int kLongestResult = 64;
constexpr int kGridPointSize = 8;
constexpr int kSmallestPointSize = 7;
// Rows marked by a verification: 0x00C0FFC0 for a match, 0x00C0C0FF for a mismatch.
const QColor kMatchColour(192, 255, 192);
const QColor kMismatchColour(255, 192, 192);

// Paints dgHash's cells through the window's WhenDraw.
class THashGridDelegate : public QStyledItemDelegate {
public:
    THashGridDelegate(TfrmHash* window, QObject* parent)
        : QStyledItemDelegate(parent), m_window(window) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        painter->save();
        m_window->WhenDraw(*painter, option.rect, index.row(), index.column(),
                           option.state.testFlag(QStyle::State_HasFocus));
        painter->restore();
    }

private:
    TfrmHash* m_window;
};

}  // namespace

QString AskSourceFileDialog(QWidget* parent, const QString& title, const QString& filter,
                            const QString& folder) {
    QFileDialog dialog(parent, title, folder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // Qt's own dialog, so that hidden files are listed as the filter asks.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFilter(dialog.filter() | QDir::Hidden);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    return dialog.selectedFiles().constFirst();
}

TfrmHash::TfrmHash(QWidget* panel, const TToolContext& context) : TFormBase(panel, context) {
    setFixedSize(kWindowWidth, kWindowHeight);
    AskSourceFile = [this](const QString& title, const QString& filter, const QString& folder) {
        return AskSourceFileDialog(this, title, filter, folder);
    };

    pnlSource = new QWidget(this);
    pnlSource->setObjectName(QStringLiteral("pnlSource"));
    pnlSource->setGeometry(0, 0, kWindowWidth, 54);
    lblSource = new QLabel(QStringLiteral("Source File"), pnlSource);
    lblSource->setObjectName(QStringLiteral("lblSource"));
    lblSource->setGeometry(8, 6, 200, 16);
    pnlFile = new QWidget(pnlSource);
    pnlFile->setObjectName(QStringLiteral("pnlFile"));
    pnlFile->setGeometry(8, 24, kWindowWidth - 16, 24);
    stSource = new TEllPath(pnlFile);
    stSource->setObjectName(QStringLiteral("stSource"));
    stSource->setGeometry(0, 1, pnlFile->width() - 26, 22);
    sbnSBrowse = new QToolButton(pnlFile);
    sbnSBrowse->setObjectName(QStringLiteral("sbnSBrowse"));
    sbnSBrowse->setText(QStringLiteral("..."));
    sbnSBrowse->setAutoRaise(true);
    sbnSBrowse->setGeometry(pnlFile->width() - 24, 0, 24, 24);
    SetHint(sbnSBrowse, QStringLiteral("Browse|Select file to be split"));
    connect(sbnSBrowse, &QToolButton::clicked, this, &TfrmHash::DoBrowse);

    dgHash = new QTableWidget(kDigestCount, 2, this);
    dgHash->setObjectName(QStringLiteral("dgHash"));
    dgHash->setGeometry(8, 58, kWindowWidth - 16, kDigestCount * kRowHeight);
    dgHash->horizontalHeader()->hide();
    dgHash->verticalHeader()->hide();
    dgHash->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    dgHash->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    dgHash->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dgHash->setSelectionMode(QAbstractItemView::SingleSelection);
    dgHash->setSelectionBehavior(QAbstractItemView::SelectItems);
    dgHash->setItemDelegate(new THashGridDelegate(this, dgHash));
    SetHint(dgHash, QStringLiteral("|Click to copy to clipboard"));
    for (int row = 0; row < kDigestCount; ++row) {
        // The label column cannot be selected.
        auto* label = new QTableWidgetItem(DigestLabel(static_cast<TDigestKind>(row)));
        label->setFlags(Qt::NoItemFlags);
        auto* result = new QTableWidgetItem();
        result->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        // The view shows an item's status tip while the mouse moves over it.
        label->setStatusTip(dgHash->statusTip());
        result->setStatusTip(dgHash->statusTip());
        dgHash->setItem(row, 0, label);
        dgHash->setItem(row, 1, result);
    }
    // Results are shown whole: the grid's font shrinks a little, and WhenDraw narrows what
    // still does not fit.
    dgHash->ensurePolished();
    QFont gridFont = dgHash->font();
    gridFont.setPointSize(kGridPointSize);
    const int labelWidth = QFontMetrics(gridFont).horizontalAdvance(QStringLiteral("QUIVA")) + 20;
    const int resultWidth =
        dgHash->width() - 2 * dgHash->frameWidth() - labelWidth - 3 * kGridLineWidth;
    while (gridFont.pointSize() > kSmallestPointSize &&
           QFontMetrics(gridFont).horizontalAdvance(QString(kLongestResult, 'D')) + kTextIndent >
               resultWidth) {
        gridFont.setPointSize(gridFont.pointSize() - 1);
    }
    dgHash->setFont(gridFont);
    dgHash->setColumnWidth(0, labelWidth);
    dgHash->setColumnWidth(1, resultWidth);
    // Rows are set after the font, which would otherwise reset them.
    for (int row = 0; row < kDigestCount; ++row) {
        dgHash->setRowHeight(row, kRowHeight);
    }
    dgHash->setFixedHeight(kDigestCount * kRowHeight + 2 * dgHash->frameWidth());
    // A current cell from the start, so that taking the focus selects (and copies) nothing.
    {
        const QSignalBlocker blocker(dgHash);
        dgHash->setCurrentCell(0, 1, QItemSelectionModel::NoUpdate);
    }
    dgHash->viewport()->installEventFilter(this);
    connect(dgHash, &QTableWidget::currentCellChanged, this, [this](int row, int column) {
        m_selectedByPress = true;
        WhenSelect(row, column);
    });
    connect(dgHash, &QTableWidget::cellClicked, this, [this](int row, int column) {
        if (!m_selectedByPress) {
            WhenSelect(row, column);
        }
        m_selectedByPress = false;
    });

    pnlBtns = new QWidget(this);
    pnlBtns->setObjectName(QStringLiteral("pnlBtns"));
    pnlBtns->setGeometry(0, kWindowHeight - 48, kWindowWidth, 48);
    btnClear = new QPushButton(QStringLiteral("Clear"), pnlBtns);
    btnClear->setObjectName(QStringLiteral("btnClear"));
    btnClear->setGeometry(kWindowWidth - 8 - 2 * 84, 12, 80, 26);
    connect(btnClear, &QPushButton::clicked, this, &TfrmHash::DoClear);
    btnCalc = new QPushButton(QStringLiteral("Calculate"), pnlBtns);
    btnCalc->setObjectName(QStringLiteral("btnCalc"));
    btnCalc->setGeometry(kWindowWidth - 8 - 84, 12, 80, 26);
    // While it runs, Calculate is the Stop button; Esc stops too.
    connect(btnCalc, &QPushButton::clicked, this, [this] { Calculating() ? DoStop() : DoCalc(); });
    auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(stop, &QShortcut::activated, this, &TfrmHash::DoStop);

    // The Verify field takes the room left of the buttons.
    lblVerify = new QLabel(QStringLiteral("Verify"), pnlBtns);
    lblVerify->setObjectName(QStringLiteral("lblVerify"));
    lblVerify->setGeometry(8, 17, 36, 16);
    edtVerify = new QLineEdit(pnlBtns);
    edtVerify->setObjectName(QStringLiteral("edtVerify"));
    edtVerify->setGeometry(46, 13, btnClear->x() - 46 - 8, 24);
    lblVerify->setBuddy(edtVerify);
    SetHint(edtVerify, QStringLiteral("Hash to verify|Paste a CRC32, MD5, SHA1, SHA256 or "
                                      "Quivash hash to compare with the file's"));
    connect(edtVerify, &QLineEdit::textEdited, this, [this] {
        ClearMarks();
        RepaintGrid();
    });
    connect(edtVerify, &QLineEdit::returnPressed, this, [this] {
        if (Calculating()) {
            return;
        }
        const TVerifyOutcome outcome = DoVerify();
        THost* host = &Host();
        if (outcome.text.isEmpty() || host == nullptr) {
            return;
        }
        const int kind = outcome.matched != 0      ? kStatusCompletion
                         : outcome.mismatched != 0 ? kStatusError
                                                   : kStatusNotice;
        host->ShowStatus(outcome.text, kind != kStatusCompletion, kind);
    });
}

TfrmHash::~TfrmHash() {
    if (!m_worker.joinable()) {
        return;
    }
    m_stop = true;
    m_worker.join();
    // Closed while calculating (Exit, or the main window closed): the main window leaves
    // its busy state, keeping the text shown.
    if (TToolPanel* panel = Panel()) {
        panel->EndBusy(QString(), kBusyKeep, kStatusInfo);
    }
}

void TfrmHash::LoadSettings() {
    const std::optional<QByteArray> stored = LoadToolText(Stores(), kToolKey);
    if (!stored) {
        return;
    }
    // One field, the path, ended by "|". The whole text up to that last bar is the path,
    // so that a file name holding "|" comes back as it was saved.
    const QString text = DecodeNativeName(*stored);
    const qsizetype bar = text.lastIndexOf('|');
    if (bar < 0) {
        return;
    }
    const QString path = text.left(bar);
    if (IsRegularFile(path)) {
        m_loading = true;
        TakeSourceFile(path);
        m_loading = false;
    }
}

void TfrmHash::SaveSettings() {
    // The name's own bytes: the UTF-8 of every name that is UTF-8, and exact for the rest.
    SaveFields(kToolKey, {EncodeNativeName(PathSlots[2])});
}

void TfrmHash::DoBrowse() {
    const QString path = AskSourceFile(QStringLiteral("Select Source File"),
                                       QStringLiteral("*.* (*)"), PathSlots[0]);
    if (path.isEmpty()) {
        return;
    }
    try {
        CheckSourceFile(path);  // a FIFO, socket or device is said at once, and not taken
    } catch (const EQuiva& error) {
        ShowStickyError(error.Message());
        return;
    }
    TakeSourceFile(path);
}

void TfrmHash::TakeSourceFile(const QString& path) {
    stSource->SetCaption(path);
    PathSlots[2] = path;
    // The folder with its trailing "/", cut from the text so that the name's bytes stay.
    const qsizetype slash = path.lastIndexOf('/');
    if (slash >= 0) {
        PathSlots[0] = path.left(slash + 1);
    }
}

void TfrmHash::DoClear() {
    stSource->SetCaption(QString());
    PathSlots[2].clear();
    edtVerify->clear();
    ClearResults();
    RepaintGrid();
}

void TfrmHash::ClearResults() {
    for (QByteArray& result : m_results) {
        result.clear();
    }
    ClearMarks();
}

void TfrmHash::ClearMarks() {
    m_marks.fill(kMarkNone);
}

void TfrmHash::TakeVerifyFromClipboard() {
    if (!edtVerify->text().trimmed().isEmpty()) {
        return;
    }
    const QString text = QGuiApplication::clipboard()->text();
    const TVerifyTarget target = ParseVerifyText(text);
    if (target.digests != 0 && text != m_copiedText) {
        edtVerify->setText(text.trimmed());
    }
}

TVerifyOutcome TfrmHash::DoVerify() {
    ClearMarks();
    const TVerifyTarget target = ParseVerifyText(edtVerify->text());
    const bool complete = std::none_of(m_results.begin(), m_results.end(),
                                       [](const QByteArray& result) { return result.isEmpty(); });
    if (!complete || (target.digests == 0 && target.problem.isEmpty())) {
        RepaintGrid();
        return {};
    }
    const TVerifyOutcome outcome = VerifyDigests(target, m_results);
    for (int row = 0; row < kDigestCount; ++row) {
        const TDigestSet bit = DigestBit(static_cast<TDigestKind>(row));
        if (outcome.matched & bit) {
            m_marks[row] = kMarkMatch;
        } else if (outcome.mismatched & bit) {
            m_marks[row] = kMarkMismatch;
        }
    }
    RepaintGrid();
    return outcome;
}

void TfrmHash::RepaintGrid() {
    dgHash->viewport()->repaint();
}

void TfrmHash::DoCalc() {
    if (m_worker.joinable()) {
        return;
    }
    TToolPanel* panel = Panel();
    if (panel != nullptr) {
        panel->BeginBusy(QStringLiteral("Calculating..."), kBusyHold, kStatusInfo);
    }
    const QString path = PathSlots[2];
    try {
        CheckSourceFile(path);
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
        return;
    }
    TakeVerifyFromClipboard();
    ClearResults();
    RepaintGrid();
    m_stop = false;
    // The one control left usable while busy: Calculate, as Stop.
    btnCalc->setText(QStringLiteral("Stop"));
    pnlBtns->setEnabled(true);
    btnCalc->setEnabled(true);
    // The worker reads the file once and computes the five digests in parallel; each
    // result, the progress and the end come back to this thread as queued calls.
    m_worker = std::thread([this, path] {
        bool completed = false;
        QString failure;
        try {
            completed = ComputeFileDigests(
                path, kAllDigests,
                [this](TDigestKind kind, const QByteArray& hex) {
                    QMetaObject::invokeMethod(
                        this, [this, kind, hex] { WhenDigest(kind, hex); }, Qt::QueuedConnection);
                },
                &m_stop,
                [this](int percent) {
                    QMetaObject::invokeMethod(
                        this, [this, percent] { WhenProgress(percent); }, Qt::QueuedConnection);
                });
        } catch (const EQuiva& error) {
            failure = error.Message();
        } catch (const std::exception& error) {
            failure = QString::fromLocal8Bit(error.what());
        }
        QMetaObject::invokeMethod(
            this, [this, completed, failure] { WhenCalcDone(completed, failure); },
            Qt::QueuedConnection);
    });
}

void TfrmHash::DoStop() {
    if (!m_worker.joinable() || m_stop) {
        return;
    }
    m_stop = true;
    btnCalc->setEnabled(false);
}

void TfrmHash::WhenProgress(int percent) {
    // Once the rows fill, they are the progress; a late percentage would cover their texts.
    const bool rowsArrived =
        std::any_of(m_results.begin(), m_results.end(),
                    [](const QByteArray& result) { return !result.isEmpty(); });
    if (m_worker.joinable() && !m_stop && !rowsArrived) {
        ShowProgress(PercentDoneText(percent));
    }
}

void TfrmHash::WhenDigest(int kind, const QByteArray& hex) {
    if (kind < 0 || kind >= kDigestCount) {
        return;
    }
    m_results[kind] = hex;
    RepaintGrid();
    const QString updated = DigestUpdatedText(static_cast<TDigestKind>(kind));
    if (!updated.isEmpty()) {
        if (THost* host = &Host()) {
            host->ShowStatus(updated, true, kStatusInfo);
        }
    }
}

void TfrmHash::WhenCalcDone(bool completed, const QString& error) {
    if (m_worker.joinable()) {
        m_worker.join();
    }
    TToolPanel* panel = Panel();
    btnCalc->setText(QStringLiteral("Calculate"));
    if (!error.isEmpty()) {
        EndWithError(error);
        return;
    }
    if (!completed) {
        // Stopped by the user (a closing window ends the busy state itself, and this call
        // does not reach it).
        if (panel != nullptr) {
            panel->EndBusy(QStringLiteral("Calculation stopped"), kBusyFade, kStatusInfo);
        }
        return;
    }
    // With a hash in the Verify field the outcome of the comparison ends the busy state.
    const TVerifyOutcome verified = DoVerify();
    if (verified.mismatched != 0) {
        EndWithError(verified.text);
    } else if (panel != nullptr) {
        if (verified.text.isEmpty()) {
            panel->EndBusy(QStringLiteral("Done!"), kBusyFade, kStatusCompletion);
        } else if (verified.matched != 0) {
            panel->EndBusy(verified.text, kBusyFade, kStatusCompletion);
        } else {
            panel->EndBusy(verified.text, kBusyHold, kStatusNotice);
        }
    }
    dgHash->setFocus();
}

void TfrmHash::WhenSelect(int row, int column) {
    if (column != 1 || row < 0 || row >= kDigestCount || m_results[row].isEmpty()) {
        return;
    }
    m_copiedText = QString::fromLatin1(m_results[row]);
    CopyTextToClipboard(m_copiedText);
    if (THost* host = &Host()) {
        host->ShowStatus(QStringLiteral("%1 copied to clipboard")
                             .arg(DigestLabel(static_cast<TDigestKind>(row))),
                         false, kStatusInfo);
    }
}

void TfrmHash::WhenDraw(QPainter& painter, const QRect& rect, int row, int column, bool current) {
    if (column == 0) {
        painter.fillRect(rect, palette().color(QPalette::Button));
        painter.setPen(palette().color(QPalette::ButtonText));
        painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine,
                         DigestLabel(static_cast<TDigestKind>(row)));
        return;
    }
    const QColor fill = m_marks[row] == kMarkMatch      ? kMatchColour
                        : m_marks[row] == kMarkMismatch ? kMismatchColour
                                                        : QColor(Qt::white);
    painter.fillRect(rect, fill);
    painter.setPen(Qt::black);
    const QString text = QString::fromLatin1(m_results[row]);
    const QRect area = rect.adjusted(kTextIndent, 0, -1, 0);
    const int textWidth = painter.fontMetrics().horizontalAdvance(text);
    painter.save();
    QRect drawn = area;
    if (textWidth > area.width()) {
        // Too long for the column at this font: drawn narrower, never cut off.
        const qreal narrow = static_cast<qreal>(area.width()) / textWidth;
        painter.translate(area.left(), 0);
        painter.scale(narrow, 1.0);
        drawn = QRect(0, area.top(), textWidth, area.height());
    }
    painter.drawText(drawn, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    painter.restore();
    if (current && dgHash->hasFocus()) {
        QPen dotted(Qt::darkGray, 1, Qt::DotLine);
        painter.setPen(dotted);
        painter.drawRect(rect.adjusted(0, 0, -1, -1));
    }
}

bool TfrmHash::eventFilter(QObject* watched, QEvent* event) {
    if (watched == dgHash->viewport() && event->type() == QEvent::MouseButtonPress) {
        m_selectedByPress = false;
    }
    return TFormBase::eventFilter(watched, event);
}
