#include "tools/hexedit/hex_document.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/native_name.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True when something is at the path that a save may not replace: a folder, a special
// file, or a file the user may not write.
bool HoldsUnreplaceable(const QString& path) {
    struct stat st;
    const QByteArray name = EncodeNativeName(path);
    if (lstat(name.constData(), &st) != 0 || S_ISLNK(st.st_mode)) {
        return false;  // a link is replaced, never followed
    }
    return !S_ISREG(st.st_mode) || access(name.constData(), W_OK) != 0;
}

}  // namespace

// ---- loading ------------------------------------------------------------------------------

void THexDocument::Load() {
    // Whatever happens, the file shown before is gone from the view.
    m_topRow = 0;
    m_lastTopRow = 0;
    m_modified = false;
    m_timestampChanged = false;
    m_checkCounter = 0;
    ClearPage();
    m_table.Close();

    if (m_source.isEmpty()) {
        RaiseError(QString::fromUtf8(kHexNoFileMessage));
    }
    const std::optional<TFileTime> time = LastWriteTime(m_source);
    if (!time) {
        RaiseError(QString::fromUtf8(kHexNoAccessMessage));
    }
    if (const int error = m_table.Open(m_source); error != 0) {
        RaiseError(error == EINVAL || error == ENOENT ? QString::fromUtf8(kHexNoAccessMessage)
                                                      : SystemErrorText(error));
    }
    // The reference is the open file's own time, so that a change between the two looks
    // is seen by the watch.
    m_reference = m_table.OpenedTime();
    try {
        if (m_table.Size() == 0) {
            RaiseError(QString::fromUtf8(kHexEmptyMessage));
        }
        m_lastTopRow = ::LastTopRow(2 * m_table.Size());
        try {
            ReadPage();
        } catch (const EQuiva&) {
            RaiseError(QString::fromUtf8(kHexReadErrorMessage));
        }
        BuildTextView();
    } catch (...) {
        m_table.Close();
        ClearPage();
        m_lastTopRow = 0;
        throw;
    }
}

QString THexDocument::SizeText() const {
    if (!Loaded()) {
        return {};
    }
    return FormatThousands(QStringLiteral("["), static_cast<quint64>(ByteSize()),
                           QStringLiteral(" Bytes]"));
}

// ---- the page -----------------------------------------------------------------------------

void THexDocument::ClearPage() {
    m_pageStart = m_topRow * kCharsPerRow;
    m_pageHex.clear();
    m_pageText.clear();
    m_printable.reset();
    m_pageHash = 0;
    m_hexPosition = 0;
    m_textPosition = 0;
}

void THexDocument::ReadPage() {
    m_pageStart = m_topRow * kCharsPerRow;
    m_hexPosition = 0;
    m_textPosition = 0;
    m_pageHex = BytesToHexText(m_table.Read(m_topRow * kBytesPerRow, kPageBytes));
    m_pageHash = PageHash(m_pageHex);
}

void THexDocument::BuildTextView() {
    m_pageText.clear();
    m_printable.reset();
    const qsizetype bytes = m_pageHex.size() / 2;
    for (qsizetype i = 0; i < bytes; ++i) {
        const uchar value = ByteAt(m_pageHex, 2 * i + 1);
        m_printable.set(i, value >= 32);
        m_pageText.append(value > 31 ? static_cast<char>(value) : '.');
    }
}

void THexDocument::ShowPage(qint64 topRow) {
    m_topRow = std::max<qint64>(0, topRow);
    ClearPage();
    if (!Loaded()) {
        return;
    }
    ReadPage();
    BuildTextView();
}

QString THexDocument::HexCell(int row, int column) const {
    const int index = HexCellIndex(row, column);
    if (!Loaded() || index >= PageLength()) {
        return kBlankCell;
    }
    return QString::fromLatin1(m_pageHex.mid(index - 1, 2));
}

QString THexDocument::TextCell(int row, int column) const {
    const int index = TextCellIndex(row, column);
    if (!Loaded() || index > m_pageText.size()) {
        return kBlankCell;
    }
    return QString(TextCellChar(static_cast<uchar>(m_pageText[index - 1])));
}

// ---- selection ----------------------------------------------------------------------------

bool THexDocument::SelectData(int row, int column) {
    const int index = HexCellIndex(row, column);
    if (!Loaded() || index >= PageLength()) {
        return false;
    }
    m_hexPosition = index;
    return true;
}

bool THexDocument::SelectText(int row, int column) {
    const int index = TextCellIndex(row, column);
    if (!Loaded() || index > m_pageText.size()) {
        return false;
    }
    m_textPosition = index;
    return true;
}

QString THexDocument::SelectedHex() const {
    if (m_hexPosition <= 0 || m_hexPosition >= PageLength()) {
        return {};
    }
    return QString::fromLatin1(m_pageHex.mid(m_hexPosition - 1, 2));
}

QString THexDocument::SelectedChar() const {
    if (m_textPosition <= 0 || m_textPosition > m_pageText.size()) {
        return {};
    }
    return QString(TextCellChar(static_cast<uchar>(m_pageText[m_textPosition - 1])));
}

// ---- editing ------------------------------------------------------------------------------

QString THexDocument::CommitHex(const QString& editorText) {
    const QString digits = editorText.toUpper();
    const bool hex = !digits.isEmpty() && digits.size() <= 2 &&
                     std::all_of(digits.begin(), digits.end(), [](QChar c) {
                         return c.unicode() < 128 && HexDigitValue(char(c.unicode())) >= 0;
                     });
    if (hex && m_hexPosition > 0 && m_hexPosition < PageLength()) {
        for (qsizetype i = 0; i < digits.size(); ++i) {
            m_pageHex[m_hexPosition - 1 + i] = static_cast<char>(digits[i].unicode());
        }
        BuildTextView();
    }
    WriteBack();
    return SelectedChar();
}

std::optional<QString> THexDocument::CommitText(const QString& editorText) {
    if (editorText.isEmpty() || m_textPosition <= 0 || m_textPosition > m_pageText.size()) {
        return std::nullopt;
    }
    const char16_t code = editorText.front().unicode();
    if (code > 0xFF) {
        return std::nullopt;
    }
    m_pageText[m_textPosition - 1] = static_cast<char>(code);
    // The byte of the text cell; the byte grid's selection follows the text grid's.
    m_hexPosition = 2 * m_textPosition - 1;
    const auto& pair = HexTable()[code];
    m_pageHex[m_hexPosition - 1] = pair[0];
    m_pageHex[m_hexPosition] = pair[1];
    WriteBack();
    return QString::fromLatin1(pair.data(), 2);
}

void THexDocument::WriteBack() {
    const quint32 hash = PageHash(m_pageHex);
    if (hash == m_pageHash || !Loaded()) {
        return;
    }
    // Only the bytes that differ from the content go in, as runs, so that typing over a
    // byte adds a piece or two and never copies the page.
    const qint64 first = m_pageStart / 2;
    const QByteArray now = m_table.Read(first, m_pageHex.size() / 2);
    QByteArray page(m_pageHex.size() / 2, Qt::Uninitialized);
    HexTextToBytes(m_pageHex.constData(), page.size(), reinterpret_cast<uchar*>(page.data()));
    for (qsizetype i = 0; i < page.size() && i < now.size();) {
        if (page[i] == now[i]) {
            ++i;
            continue;
        }
        qsizetype end = i + 1;
        while (end < page.size() && end < now.size() && page[end] != now[end]) {
            ++end;
        }
        m_table.Overwrite(first + i, page.mid(i, end - i));
        m_modified = true;
        i = end;
    }
    m_pageHash = hash;
}

// ---- insert and delete --------------------------------------------------------------------

void THexDocument::AfterSizeChange() {
    m_modified = true;
    m_lastTopRow = ::LastTopRow(2 * m_table.Size());
    // A shorter file may end above the page shown: the view moves back onto it.
    ShowPage(std::min(m_topRow, m_lastTopRow));
}

void THexDocument::Add(int count, quint8 value) {
    if (m_hexPosition <= 0) {
        RaiseError(QString::fromUtf8(kHexNoSelectionMessage));
    }
    count = std::max(count, 0);
    m_table.Insert(SelectedOffset(), QByteArray(count, static_cast<char>(value)));
    AfterSizeChange();
}

void THexDocument::Delete(int count) {
    if (m_hexPosition <= 0) {
        RaiseError(QString::fromUtf8(kHexNoSelectionMessage));
    }
    count = std::max(count, 0);
    if (static_cast<qint64>(count) >= m_table.Size()) {
        RaiseError(QString::fromUtf8(kHexDeleteAllMessage));
    }
    m_table.Erase(SelectedOffset(), count);
    AfterSizeChange();
}

// ---- save ---------------------------------------------------------------------------------

void THexDocument::Save(const QString& destination, const TPercentProgress& progress) {
    const auto fail = [&](const QString& text) {
        RaiseError(QString::fromUtf8(kHexSaveErrorMessage).arg(text, PrintableName(destination)));
    };
    const auto changedInPlace = [&] {
        RaiseError(QString::fromUtf8(kHexChangedInPlaceMessage)
                       .arg(PrintableName(NamePart(m_table.Path()))));
    };
    if (!Loaded()) {
        fail(QString::fromUtf8(kHexNoFileMessage));
    }
    if (m_table.SourceState() == TSourceState::kChangedInPlace) {
        changedInPlace();
    }
    TReplacementFile output(destination);
    if (!output.Open()) {
        if (HoldsUnreplaceable(destination)) {
            RaiseError(QString::fromUtf8(kHexCannotDeleteMessage)
                           .arg(PrintableName(NamePart(destination))));
        }
        fail(output.ErrorText());
    }
    output.Reserve(ByteSize());
    if (const std::optional<TCopyFault> fault = m_table.WriteTo(output.Handle(), progress)) {
        output.Discard();
        fail(fault->text);
    }
    // A write by another program during the copy would leave a mixture in the new file.
    if (m_table.SourceState() == TSourceState::kChangedInPlace) {
        output.Discard();
        changedInPlace();
    }
    if (!output.Commit()) {
        fail(output.ErrorText());
    }
    // The view continues on the saved file, unedited.
    const qint64 topRow = m_topRow;
    m_source = destination;
    m_modified = false;
    m_timestampChanged = false;
    m_checkCounter = 0;
    if (m_table.Open(destination) != 0) {
        ClearPage();
        m_lastTopRow = 0;
        RaiseError(QString::fromUtf8(kHexNoAccessMessage));
    }
    m_reference = m_table.OpenedTime();
    m_lastTopRow = ::LastTopRow(2 * m_table.Size());
    ShowPage(std::min(topRow, m_lastTopRow));
}

// ---- reset and watch ----------------------------------------------------------------------

void THexDocument::Reset() {
    m_source.clear();
    m_table.Close();
    m_reference = {};
    m_topRow = 0;
    m_lastTopRow = 0;
    ClearPage();
    m_modified = false;
    m_timestampChanged = false;
    m_checkCounter = 0;
}

bool THexDocument::CheckTimestamp() {
    if (!Loaded()) {
        return false;
    }
    if (m_timestampChanged) {
        ++m_checkCounter;
        if (m_checkCounter < kTimestampRepeatTicks) {
            return false;
        }
    }
    const TFileTime now = LastWriteTime(m_source).value_or(m_reference);
    if (now == m_reference) {
        return false;
    }
    m_checkCounter = 0;
    m_timestampChanged = true;
    return true;
}
