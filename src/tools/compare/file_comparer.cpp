#include "tools/compare/file_comparer.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/compare/stream_compare.h"
#include "tools/hexedit/hex_document.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a descriptor when it goes.
struct TCompareFd {
    int fd = -1;
    ~TCompareFd() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// True when a save may not replace what is at the path (a folder, a special file, a file
// the user may not write).
bool HoldsUnreplaceableFile(const QString& path) {
    struct stat st;
    const QByteArray name = EncodeNativeName(path);
    if (lstat(name.constData(), &st) != 0 || S_ISLNK(st.st_mode)) {
        return false;  // a link is replaced, never followed
    }
    return !S_ISREG(st.st_mode) || access(name.constData(), W_OK) != 0;
}

// Reads exactly `length` bytes at the descriptor's position; false on an error or an
// early end, with `error` the errno (0 for an early end).
bool ReadAll(int fd, uchar* data, qint64 length, int& error) {
    while (length > 0) {
        const ssize_t n = read(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

}  // namespace

// ---- choosing files -----------------------------------------------------------------------

void TFileComparer::SetPath(int side, const QString& path) {
    m_sides[side].path = path;
    m_sides[side].size = FileSize64(path);
}

void TFileComparer::RefreshSizes() {
    for (TSide& side : m_sides) {
        side.size = FileSize64(side.path);
    }
}

QString TFileComparer::SizeText(int side) const {
    return FormatThousands(QStringLiteral("["), static_cast<quint64>(m_sides[side].size),
                           QStringLiteral(" Bytes]"));
}

QString TFileComparer::PlainSizeText(int side) const {
    return QStringLiteral("[%1 Bytes]").arg(m_sides[side].size);
}

void TFileComparer::ClearView() {
    for (TSide& side : m_sides) {
        side.pageHex.clear();
        side.pageText.clear();
        side.printable.reset();
        side.marks.reset();
        side.pageHash = 0;
    }
    m_pageLength = 0;
    m_hexPosition = 0;
    m_textPosition = 0;
    m_segment = 0;
    m_index.clear();
    m_report.clear();
}

QString TFileComparer::SegmentText() const {
    return m_segment > 0 ? QString::fromUtf8(kSegmentText).arg(m_segment) : QString();
}

qint64 TFileComparer::SegmentRow(int letter) const {
    if (letter < 0 || letter >= m_index.size() || m_segment <= 0) {
        return -1;
    }
    return letter * m_segment / kBytesPerRow;
}

// ---- the comparison -----------------------------------------------------------------------

void TFileComparer::DropCopies() {
    for (TSide& side : m_sides) {
        side.copy.Close();
        side.modified = false;
    }
    m_lastTopRow = 0;
}

void TFileComparer::Compare(const TPercentProgress& progress,
                            const std::function<void(char)>& onLetter) {
    ClearView();
    RefreshSizes();
    m_topRow = 0;
    m_commonLength = 0;
    m_checkCounter = 0;
    DropCopies();
    try {
        std::array<TCompareFd, 2> files;
        for (int s = 0; s < 2; ++s) {
            TSide& side = m_sides[s];
            side.copy.Create();
            if (side.size == 0) {
                RaiseError(QString::fromUtf8(kCompareZeroMessage));
            }
            if (side.size > kCompareMaxSize) {
                RaiseError(QString::fromUtf8(kCompareTooLargeMessage));
            }
            files[s].fd = OpenRegularFile(side.path);
            if (files[s].fd < 0) {
                RaiseError(errno == EINVAL || errno == ENOENT
                               ? QString::fromUtf8(kCompareNoAccessMessage)
                               : SystemErrorText(errno));
            }
            // What is read is what the file holds now, measured once more on the open file.
            struct stat st;
            if (fstat(files[s].fd, &st) != 0) {
                RaiseError(SystemErrorText(errno));
            }
            side.size = st.st_size;
            if (side.size == 0) {
                RaiseError(QString::fromUtf8(kCompareZeroMessage));
            }
            if (side.size > kCompareMaxSize) {
                RaiseError(QString::fromUtf8(kCompareTooLargeMessage));
            }
        }
        for (TSide& side : m_sides) {
            const std::optional<TFileTime> time = LastWriteTime(side.path);
            if (!time) {
                RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
            }
            side.reference = *time;
        }
        const qint64 length = std::min(m_sides[0].size, m_sides[1].size);
        m_segment = SegmentSize(length);
        TSegmentComparer comparer(length, m_segment, kReportedDifferences);
        comparer.onLetter = onLetter;
        const std::unique_ptr<uchar[]> a(new uchar[m_segment]);
        const std::unique_ptr<uchar[]> b(new uchar[m_segment]);
        const double step = 100.0 / static_cast<double>(length);
        int lastPercent = -1;
        qint64 done = 0;
        while (done < length) {
            const qint64 n = std::min(m_segment, length - done);
            for (int s = 0; s < 2; ++s) {
                int error = 0;
                if (!ReadAll(files[s].fd, s == 0 ? a.get() : b.get(), n, error)) {
                    RaiseError(error != 0 ? SystemErrorText(error)
                                          : QString::fromUtf8(kCompareShrankMessage)
                                                .arg(QString::fromUtf8(kSideNames[s])));
                }
            }
            m_sides[0].copy.AppendBytes(a.get(), n);
            m_sides[1].copy.AppendBytes(b.get(), n);
            comparer.Feed(a.get(), b.get(), n);
            done += n;
            const int percent = RoundHalfEven(static_cast<double>(done) * step);
            if (progress && percent != lastPercent) {
                progress(percent);
            }
            lastPercent = percent;
        }
        m_commonLength = length;
        m_index = comparer.Index();
        m_report = comparer.Listed();
        m_lastTopRow = ::LastTopRow(m_sides[0].copy.Size());
        ReadPage();
    } catch (...) {
        ClearView();
        DropCopies();
        m_commonLength = 0;
        throw;
    }
}

// ---- the page -----------------------------------------------------------------------------

void TFileComparer::ReadPage() {
    m_pageStart = m_topRow * kCharsPerRow;
    m_hexPosition = 0;
    m_textPosition = 0;
    m_pageLength = std::clamp<qint64>(m_sides[0].copy.Size() - m_pageStart, 0, kPageChars);
    for (TSide& side : m_sides) {
        side.pageHex = side.copy.Read(m_pageStart, m_pageLength);
        side.pageHash = PageHash(side.pageHex);
    }
    BuildTextViews();
}

void TFileComparer::BuildTextViews() {
    for (TSide& side : m_sides) {
        side.pageText.clear();
        side.printable.reset();
        side.marks.reset();
    }
    const QByteArray& hexA = m_sides[0].pageHex;
    const QByteArray& hexB = m_sides[1].pageHex;
    const qsizetype bytes = m_pageLength / 2;
    for (qsizetype i = 0; i < bytes; ++i) {
        // Both sides' cells are tinted where the bytes differ.
        const bool differs = hexA.mid(2 * i, 2) != hexB.mid(2 * i, 2);
        for (TSide& side : m_sides) {
            side.marks.set(i, differs);
            if (2 * i + 1 < side.pageHex.size()) {
                const uchar value = ByteAt(side.pageHex, 2 * i + 1);
                side.printable.set(i, value >= 32);
                side.pageText.append(value > 31 ? static_cast<char>(value) : '.');
            }
        }
    }
}

void TFileComparer::ShowPage(qint64 topRow) {
    m_topRow = std::clamp<qint64>(topRow, 0, m_lastTopRow);
    for (TSide& side : m_sides) {
        side.pageHex.clear();
        side.pageText.clear();
        side.printable.reset();
        side.marks.reset();
    }
    m_pageLength = 0;
    m_hexPosition = 0;
    m_textPosition = 0;
    if (Loaded(0) && Loaded(1)) {
        ReadPage();
    }
}

QString TFileComparer::HexCell(int side, int row, int column) const {
    const int index = HexCellIndex(row, column);
    const QByteArray& hex = m_sides[side].pageHex;
    if (!Loaded(side) || index >= m_pageLength || index >= hex.size()) {
        return kBlankCell;
    }
    return QString::fromLatin1(hex.mid(index - 1, 2));
}

QString TFileComparer::TextCell(int side, int row, int column) const {
    const int index = TextCellIndex(row, column);
    const QByteArray& text = m_sides[side].pageText;
    if (!Loaded(side) || index > text.size()) {
        return kBlankCell;
    }
    return QString(TextCellChar(static_cast<uchar>(text[index - 1])));
}

// ---- selection and editing ----------------------------------------------------------------

bool TFileComparer::SelectData(int side, int row, int column) {
    const int index = HexCellIndex(row, column);
    if (!Loaded(side) || index >= m_pageLength) {
        return false;
    }
    m_hexPosition = index;
    return true;
}

bool TFileComparer::SelectText(int side, int row, int column) {
    const int index = TextCellIndex(row, column);
    if (!Loaded(side) || index > m_sides[side].pageText.size()) {
        return false;
    }
    m_textPosition = index;
    return true;
}

QString TFileComparer::SelectedHex(int side) const {
    const QByteArray& hex = m_sides[side].pageHex;
    if (m_hexPosition <= 0 || m_hexPosition >= hex.size()) {
        return {};
    }
    return QString::fromLatin1(hex.mid(m_hexPosition - 1, 2));
}

QString TFileComparer::SelectedChar(int side) const {
    const QByteArray& text = m_sides[side].pageText;
    if (m_textPosition <= 0 || m_textPosition > text.size()) {
        return {};
    }
    return QString(TextCellChar(static_cast<uchar>(text[m_textPosition - 1])));
}

QString TFileComparer::CommitHex(int side, const QString& editorText) {
    TSide& s = m_sides[side];
    const QString digits = editorText.toUpper();
    const bool hex = !digits.isEmpty() && digits.size() <= 2 &&
                     std::all_of(digits.begin(), digits.end(), [](QChar c) {
                         return c.unicode() < 128 && HexDigitValue(char(c.unicode())) >= 0;
                     });
    if (hex && m_hexPosition > 0 && m_hexPosition < s.pageHex.size()) {
        for (qsizetype i = 0; i < digits.size(); ++i) {
            s.pageHex[m_hexPosition - 1 + i] = static_cast<char>(digits[i].unicode());
        }
        BuildTextViews();
    }
    WriteBack(side);
    return SelectedChar(side);
}

std::optional<QString> TFileComparer::CommitText(int side, const QString& editorText) {
    TSide& s = m_sides[side];
    if (editorText.isEmpty() || m_textPosition <= 0 || m_textPosition > s.pageText.size()) {
        return std::nullopt;
    }
    const char16_t code = editorText.front().unicode();
    if (code > 0xFF) {
        return std::nullopt;
    }
    s.pageText[m_textPosition - 1] = static_cast<char>(code);
    m_hexPosition = 2 * m_textPosition - 1;
    const auto& pair = HexTable()[code];
    s.pageHex[m_hexPosition - 1] = pair[0];
    s.pageHex[m_hexPosition] = pair[1];
    WriteBack(side);
    return QString::fromLatin1(pair.data(), 2);
}

void TFileComparer::WriteBack(int side) {
    TSide& s = m_sides[side];
    const quint32 hash = PageHash(s.pageHex);
    if (hash == s.pageHash || !s.copy.IsOpen()) {
        return;
    }
    // Unmodified, the working copy holds what the comparison (or the last save) wrote:
    // the page differs from the file exactly when it differs from what it replaces.
    if (!s.modified) {
        s.modified = s.copy.Read(m_pageStart, s.pageHex.size()) != s.pageHex;
    }
    s.copy.Write(m_pageStart, s.pageHex);
    s.pageHash = hash;
}

// ---- save ---------------------------------------------------------------------------------

void TFileComparer::Save(int side, const QString& destination, const TPercentProgress& progress) {
    TSide& s = m_sides[side];
    if (!s.copy.IsOpen()) {
        RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
    }
    // The rest of the side's file after the compared part comes from the file itself.
    TCompareFd source;
    source.fd = OpenRegularFile(s.path);
    if (source.fd < 0) {
        RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
    }
    struct stat st;
    if (fstat(source.fd, &st) != 0) {
        RaiseError(SystemErrorText(errno));
    }
    const qint64 tail = std::max<qint64>(0, st.st_size - m_commonLength);

    TReplacementFile output(destination);
    if (!output.Open()) {
        if (HoldsUnreplaceableFile(destination)) {
            RaiseError(QString::fromUtf8(kCompareCannotDeleteMessage)
                           .arg(PrintableName(NamePart(destination))));
        }
        RaiseError(output.ErrorText());
    }
    output.Reserve(s.copy.Size() / 2 + tail);
    if (std::optional<TCopyFault> fault =
            WriteWorkingCopyBytes(s.copy, s.copy.Size(), output.Handle(), progress)) {
        RaiseError(fault->text);
    }
    if (std::optional<TCopyFault> fault =
            CopyBytes(source.fd, m_commonLength, output.Handle(), tail)) {
        RaiseError(
            fault->side == TCopyFault::kRead && fault->text == kUnexpectedEndText
                ? QString::fromUtf8(kCompareShrankMessage).arg(QString::fromUtf8(kSideNames[side]))
                : fault->text);
    }
    if (!output.Commit()) {
        RaiseError(output.ErrorText());
    }
    s.path = destination;
    for (TSide& each : m_sides) {
        const std::optional<TFileTime> time = LastWriteTime(each.path);
        if (!time) {
            RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
        }
        each.reference = *time;
    }
    s.modified = false;
    m_checkCounter = 0;
}

// ---- reset and watch ----------------------------------------------------------------------

void TFileComparer::Reset() {
    ClearView();
    for (TSide& side : m_sides) {
        side.path.clear();
        side.size = 0;
        side.reference = {};
    }
    DropCopies();
    m_commonLength = 0;
    m_topRow = 0;
    m_checkCounter = 0;
}

int TFileComparer::CheckTimestamps() {
    const TFileTime none;
    if (m_sides[0].reference == none && m_sides[1].reference == none) {
        return 0;
    }
    int changed = 0;
    for (int s = 0; s < 2; ++s) {
        const std::optional<TFileTime> now = LastWriteTime(m_sides[s].path);
        if (m_sides[s].path.isEmpty() || !now) {
            return 0;
        }
        if (*now != m_sides[s].reference) {
            changed |= 1 << s;
        }
    }
    if (changed == 0) {
        return 0;
    }
    if (++m_checkCounter < kTimestampRepeatTicks) {
        return 0;
    }
    m_checkCounter = 0;
    return changed;
}
