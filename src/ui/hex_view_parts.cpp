#include "ui/hex_view_parts.h"

#include "tools/common/hex_text.h"
#include "ui/form_base.h"
#include "ui/quick_button.h"
#include "ui/window_parts.h"

#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QValidator>

#include <algorithm>

namespace {

// Turns what is typed into upper case, like an edit box with upper-case characters.
class TUpperValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*position*/) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

struct TScrollButtonFacts {
    const char* name;
    int tag;
    const char* text;
    const char* hint;
};

constexpr std::array<TScrollButtonFacts, 6> kScrollButtons{{
    {"sbnHome", -1, "\u2912", "Start of file"},
    {"sbnPgUp", -16, "\u21D1", "Previous page"},
    {"sbnLineUp", -1, "\u2191", "Up one line"},
    {"sbnLineDn", 1, "\u2193", "Down one line"},
    {"sbnPgDn", 16, "\u21D3", "Next page"},
    {"sbnEnd", 1, "\u2913", "End of file"},
}};

}  // namespace

void TScrollButtons::Apply(bool up, bool pageUp, bool down, bool pageDown) const {
    Home()->setEnabled(up);
    LineUp()->setEnabled(up);
    PgUp()->setEnabled(pageUp);
    LineDn()->setEnabled(down);
    End()->setEnabled(down);
    PgDn()->setEnabled(pageDown);
}

TScrollButtons MakeScrollButtons(QWidget* parent, int width, int height) {
    TScrollButtons scroll;
    scroll.panel = MakePanel(parent, "pnlScroll");
    scroll.panel->setFixedSize(width, height);
    SetHint(scroll.panel, QStringLiteral("Use mouse wheel to scroll"));
    const int buttonHeight = 26;
    const int gap = (height - 6 * buttonHeight) / 7;
    for (int i = 0; i < 6; ++i) {
        const TScrollButtonFacts& facts = kScrollButtons[i];
        auto* button = Named(new TQuickButton(scroll.panel), facts.name);
        button->setProperty("Tag", facts.tag);
        button->setText(QString::fromUtf8(facts.text));
        button->setGeometry(2, gap + i * (buttonHeight + gap), width - 4, buttonHeight);
        button->setEnabled(false);
        SetHint(button, QString::fromUtf8(facts.hint));
        scroll.buttons[i] = button;
    }
    return scroll;
}

void ApplyScrollRules(const TScrollButtons& scroll, qint64 topRow, qint64 lastTopRow) {
    scroll.Apply(topRow > 0, topRow > 15, topRow < lastTopRow, topRow < lastTopRow - 16);
}

void ConnectScrollButtons(const TScrollButtons& scroll, QObject* context,
                          std::function<qint64()> topRow, std::function<qint64()> lastTopRow,
                          std::function<void(qint64)> show) {
    for (TQuickButton* button : scroll.buttons) {
        const int tag = button->property("Tag").toInt();
        const bool homeEnd = button == scroll.Home() || button == scroll.End();
        QObject::connect(button, &QToolButton::clicked, context, [=] {
            if (homeEnd) {
                show(tag < 0 ? 0 : lastTopRow());
            } else {
                show(topRow() + tag);
            }
        });
    }
}

bool IsCursorKey(int key, Qt::KeyboardModifiers modifiers) {
    switch (key) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            return true;
        case Qt::Key_Home:
        case Qt::Key_End:
            return (modifiers & Qt::ControlModifier) != 0;
        default:
            return false;
    }
}

std::optional<TCursorMove> CursorAfterKey(int key, Qt::KeyboardModifiers modifiers, qint64 offset,
                                          qint64 size, qint64 topRow, qint64 lastTopRow) {
    if (size <= 0 || !IsCursorKey(key, modifiers)) {
        return std::nullopt;
    }
    qint64 target = offset;
    qint64 top = topRow;
    switch (key) {
        case Qt::Key_Left:
            target -= 1;
            break;
        case Qt::Key_Right:
            target += 1;
            break;
        case Qt::Key_Up:
            target -= kBytesPerRow;
            break;
        case Qt::Key_Down:
            target += kBytesPerRow;
            break;
        case Qt::Key_PageUp:
            target -= kPageBytes;
            top -= kRowsPerPage;
            break;
        case Qt::Key_PageDown:
            target += kPageBytes;
            top += kRowsPerPage;
            break;
        case Qt::Key_Home:
            target = 0;
            break;
        case Qt::Key_End:
            target = size - 1;
            break;
        default:
            break;
    }
    // A move by a row or a page that would leave the content stays where it is, as a
    // move past the first or the last byte does.
    if ((key == Qt::Key_Up || key == Qt::Key_Down) && (target < 0 || target >= size)) {
        target = offset;
    }
    target = std::clamp<qint64>(target, 0, size - 1);
    const qint64 row = target / kBytesPerRow;
    top = std::clamp<qint64>(top, 0, lastTopRow);
    if (row < top) {
        top = row;
    } else if (row >= top + kRowsPerPage) {
        top = row - kRowsPerPage + 1;
    }
    return TCursorMove{target, std::clamp<qint64>(top, 0, lastTopRow)};
}

QLineEdit* MakeCellEditor(QWidget* parent, const char* name, int maxChars, bool upperCase,
                          bool bold) {
    auto* editor = Named(new QLineEdit(parent), name);
    editor->setMaxLength(maxChars);
    editor->setFrame(false);
    editor->setAlignment(Qt::AlignCenter);
    editor->setTextMargins(0, 0, 0, 0);
    editor->setContextMenuPolicy(Qt::NoContextMenu);
    editor->setAcceptDrops(false);
    if (upperCase) {
        editor->setValidator(new TUpperValidator(editor));
    }
    QPalette palette = editor->palette();
    palette.setColor(QPalette::Text, kRedText);
    editor->setPalette(palette);
    QFont font = editor->font();
    font.setPointSize(8);
    font.setBold(bold);
    editor->setFont(font);
    editor->hide();
    return editor;
}

TCellKeyFilter::TCellKeyFilter(QLineEdit* editor, bool hexOnly, std::function<void()> commit,
                               std::function<void(int, Qt::KeyboardModifiers)> navigate)
    : QObject(editor),
      m_hexOnly(hexOnly),
      m_commit(std::move(commit)),
      m_navigate(std::move(navigate)) {
    editor->installEventFilter(this);
}

bool TCellKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return QObject::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    if (m_navigate && IsCursorKey(key->key(), key->modifiers())) {
        m_navigate(key->key(), key->modifiers());
        return true;
    }
    const QString text = key->text();
    // Keys that type nothing (arrows, Home, shift) are the edit box's own.
    if (text.isEmpty()) {
        return false;
    }
    const bool backspace = key->key() == Qt::Key_Backspace;
    if (m_hexOnly && !backspace) {
        const QString upper = text.toUpper();
        const bool digit =
            upper.size() == 1 && ((upper[0] >= QLatin1Char('0') && upper[0] <= QLatin1Char('9')) ||
                                  (upper[0] >= QLatin1Char('A') && upper[0] <= QLatin1Char('F')));
        if (!digit) {
            return true;  // swallowed
        }
    }
    if (!(m_hexOnly && backspace)) {
        QMetaObject::invokeMethod(this, m_commit, Qt::QueuedConnection);
    }
    return false;
}

QString ColumnLabel(int column) {
    return QString::number(column, 16).toUpper();
}

void DrawHeadCell(QPainter& painter, const QRect& cell, const QString& text) {
    painter.fillRect(cell, kSilver);
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(Qt::black);
    DrawCentredText(painter, cell, text);
}

void DrawOffsetCell(QPainter& painter, const QRect& cell, const QString& text, int pointSize) {
    painter.fillRect(cell, kOffsetColour);
    QFont font = painter.font();
    font.setPointSize(pointSize);
    painter.setFont(font);
    painter.setPen(kNavy);
    DrawCentredText(painter, cell, text);
}

void DrawLabelCell(QPainter& painter, const QRect& cell, const QString& text) {
    painter.fillRect(cell, kSilver);
    painter.setPen(kGreyPen);
    painter.drawRect(cell.adjusted(0, 0, -1, -1));
    QFont font = painter.font();
    font.setBold(true);
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(kNavy);
    DrawCentredText(painter, cell, text);
}

void DrawByteCell(QPainter& painter, const QRect& cell, int column, const QString& text) {
    painter.fillRect(cell, kDataColour);
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(column % 2 == 0 ? kBlueText : QColor(Qt::black));
    DrawCentredText(painter, cell, text);
}

void DrawTextCell(QPainter& painter, const QRect& cell, const QColor& brush, bool printable,
                  const QString& text) {
    painter.fillRect(cell, brush);
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(printable ? QColor(Qt::black) : kRedText);
    DrawCentredText(painter, cell, text);
}

QString AskExistingFile(QWidget* parent, const QString& title, const QString& folder) {
    QFileDialog dialog(parent, title, folder, QStringLiteral("*.* (*)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setFilter(dialog.filter() | QDir::Hidden);
    dialog.setOption(QFileDialog::DontResolveSymlinks, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().first();
}

QString AskDestinationFile(QWidget* parent, const QString& title, const QString& folder,
                           const QString& proposed) {
    QFileDialog dialog(parent, title, folder, QStringLiteral("*.* (*)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setFilter(dialog.filter() | QDir::Hidden);
    if (!proposed.isEmpty()) {
        dialog.selectFile(QFileInfo(proposed).fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().first();
}

TUnsavedAnswer AskSaveChanges(QWidget* parent, const QString& name) {
    QMessageBox box(QMessageBox::Warning, QObject::tr("Unsaved changes"),
                    QObject::tr("Save changes to %1?").arg(name), QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("dlgSaveChanges"));
    QPushButton* save = box.addButton(QMessageBox::Save);
    QPushButton* discard = box.addButton(QMessageBox::Discard);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) {
        return TUnsavedAnswer::kSave;
    }
    if (box.clickedButton() == discard) {
        return TUnsavedAnswer::kDiscard;
    }
    return TUnsavedAnswer::kCancel;
}
