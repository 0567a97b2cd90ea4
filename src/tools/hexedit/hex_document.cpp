#include "tools/hexedit/hex_document.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes read from the source per block while loading; characters written per block when
// saving.
constexpr qint64 kLoadBlock = 1 << 20;
constexpr qint64 kSaveBlock = 2 << 20;

// Reports a whole percentage of a known total when it changes.
class TPercent {
public:
    TPercent(qint64 total, const TPercentProgress& progress)
        : m_step(total > 0 ? 100.0 / static_cast<double>(total) : 0), m_progress(progress) {}
    void Done(qint64 done) {
        const int percent = RoundHalfEven(static_cast<double>(done) * m_step);
        if (m_progress && percent != m_last) {
            m_progress(percent);
        }
        m_last = percent;
    }

private:
    double m_step;
    const TPercentProgress& m_progress;
    int m_last = -1;
};

// Closes a descriptor when it goes.
struct TFdCloser {
    int fd;
    ~TFdCloser() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// Reads exactly `length` bytes at the current position; false on an error or an early end.
bool ReadFully(int fd, char* data, qint64 length) {
    while (length > 0) {
        const ssize_t n = read(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

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

std::optional<TCopyFault> WriteWorkingCopyBytes(const TWorkingCopy& copy, qint64 chars, int to,
                                                const TPercentProgress& progress) {
    TPercent percent(chars, progress);
    QByteArray bytes(kSaveBlock / 2, Qt::Uninitialized);
    qint64 done = 0;
    while (done < chars) {
        const qint64 step = std::min(kSaveBlock, chars - done);
        QByteArray text;
        try {
            text = copy.Read(done, step);
        } catch (const EQuiva& error) {
            return TCopyFault{TCopyFault::kRead, error.Message()};
        }
        if (text.size() != step) {
            return TCopyFault{TCopyFault::kRead, QString::fromLatin1(kUnexpectedEndText)};
        }
        HexTextToBytes(text.constData(), step / 2, reinterpret_cast<uchar*>(bytes.data()));
        if (std::optional<TCopyFault> fault = WriteAll(to, bytes.constData(), step / 2)) {
            return fault;
        }
        done += step;
        percent.Done(done);
    }
    return std::nullopt;
}

// ---- loading ------------------------------------------------------------------------------

void THexDocument::Load(const TPercentProgress& progress) {
    // Whatever happens, the file shown before is gone from the view.
    m_topRow = 0;
    m_lastTopRow = 0;
    m_modified = false;
    m_timestampChanged = false;
    m_checkCounter = 0;
    ClearPage();
    m_copy.Close();

    if (m_source.isEmpty()) {
        RaiseError(QString::fromUtf8(kHexNoFileMessage));
    }
    const std::optional<TFileTime> time = LastWriteTime(m_source);
    if (!time) {
        RaiseError(QString::fromUtf8(kHexNoAccessMessage));
    }
    m_reference = *time;

    const int fd = OpenRegularFile(m_source);
    if (fd < 0) {
        RaiseError(errno == EINVAL ? QString::fromUtf8(kHexNoAccessMessage)
                                   : SystemErrorText(errno));
    }
    const TFdCloser closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) {
        RaiseError(QString::fromUtf8(kHexReadErrorMessage));
    }
    const qint64 size = st.st_size;
    try {
        m_copy.Create();
        if (size == 0) {
            RaiseError(QString::fromUtf8(kHexEmptyMessage));
        }
        TWorkingCopy::RequireRoom(m_copy.Path(), 2 * size);
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        const std::unique_ptr<char[]> block(new char[kLoadBlock]);
        TPercent percent(size, progress);
        qint64 done = 0;
        while (done < size) {
            const qint64 step = std::min(kLoadBlock, size - done);
            // A file that shrinks while it is read ends early: that is a read error too.
            if (!ReadFully(fd, block.get(), step)) {
                RaiseError(QString::fromUtf8(kHexReadErrorMessage));
            }
            m_copy.AppendBytes(reinterpret_cast<const uchar*>(block.get()), step);
            done += step;
            percent.Done(done);
        }
        m_lastTopRow = ::LastTopRow(m_copy.Size());
        ReadPage();
        BuildTextView();
    } catch (...) {
        // Nothing half-loaded stays: a partial copy could otherwise be edited and saved
        // over the file.
        m_copy.Close();
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
    m_pageHex = m_copy.Read(m_pageStart, kPageChars);
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
    // While nothing is modified the working copy holds exactly the file as loaded or last
    // saved, so comparing the page with what it replaces tells whether the copy now
    // differs; no pass over the whole copy is needed.
    if (!m_modified) {
        m_modified = m_copy.Read(m_pageStart, m_pageHex.size()) != m_pageHex;
    }
    m_copy.Write(m_pageStart, m_pageHex);
    m_pageHash = hash;
}

// ---- insert and delete --------------------------------------------------------------------

void THexDocument::Adopt(TWorkingCopy&& copy) {
    m_modified = true;
    m_copy = std::move(copy);
    m_lastTopRow = ::LastTopRow(m_copy.Size());
    // A shorter file may end above the page shown: the view moves back onto it.
    ShowPage(std::min(m_topRow, m_lastTopRow));
}

void THexDocument::Add(int count, quint8 value) {
    if (m_hexPosition <= 0) {
        RaiseError(QString::fromUtf8(kHexNoSelectionMessage));
    }
    count = std::max(count, 0);
    const qint64 at = SelectedOffset();
    QByteArray inserted;
    inserted.reserve(2 * count);
    for (int i = 0; i < count; ++i) {
        inserted.append(HexTable()[value].data(), 2);
    }
    TWorkingCopy copy;
    copy.Create();
    TWorkingCopy::RequireRoom(copy.Path(), m_copy.Size() + inserted.size());
    copy.AppendRange(m_copy, 0, at);
    copy.AppendText(inserted.constData(), inserted.size());
    copy.AppendRange(m_copy, at, m_copy.Size() - at);
    Adopt(std::move(copy));
}

void THexDocument::Delete(int count) {
    if (m_hexPosition <= 0) {
        RaiseError(QString::fromUtf8(kHexNoSelectionMessage));
    }
    count = std::max(count, 0);
    if (2 * static_cast<qint64>(count) >= m_copy.Size()) {
        RaiseError(QString::fromUtf8(kHexDeleteAllMessage));
    }
    const qint64 at = SelectedOffset();
    const qint64 resume = std::min(m_copy.Size(), at + 2 * static_cast<qint64>(count));
    TWorkingCopy copy;
    copy.Create();
    TWorkingCopy::RequireRoom(copy.Path(), at + (m_copy.Size() - resume));
    copy.AppendRange(m_copy, 0, at);
    copy.AppendRange(m_copy, resume, m_copy.Size() - resume);
    Adopt(std::move(copy));
}

// ---- save ---------------------------------------------------------------------------------

void THexDocument::Save(const QString& destination, const TPercentProgress& progress) {
    const auto fail = [&](const QString& text) {
        RaiseError(QString::fromUtf8(kHexSaveErrorMessage).arg(text, PrintableName(destination)));
    };
    if (!Loaded()) {
        fail(QString::fromUtf8(kHexNoFileMessage));
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
    if (const std::optional<TCopyFault> fault =
            WriteWorkingCopyBytes(m_copy, m_copy.Size(), output.Handle(), progress)) {
        output.Discard();
        fail(fault->text);
    }
    if (!output.Commit()) {
        fail(output.ErrorText());
    }
    const std::optional<TFileTime> time = LastWriteTime(destination);
    if (!time) {
        RaiseError(QString::fromUtf8(kHexNoAccessMessage));
    }
    m_source = destination;
    m_reference = *time;
    m_modified = false;
    m_timestampChanged = false;
    m_checkCounter = 0;
}

// ---- reset and watch ----------------------------------------------------------------------

void THexDocument::Reset() {
    m_source.clear();
    m_copy.Close();
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
