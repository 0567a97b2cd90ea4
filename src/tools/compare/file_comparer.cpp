#include "tools/compare/file_comparer.h"

#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// Bytes of each side read at a time while looking for a difference.
constexpr qint64 kSearchBlock = qint64(1) << 20;

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

void TFileComparer::DropTables() {
    for (TSide& side : m_sides) {
        side.table.Close();
        side.modified = false;
    }
    m_lastTopRow = 0;
}

void TFileComparer::Begin() {
    ClearView();
    RefreshSizes();
    m_topRow = 0;
    m_commonLength = 0;
    m_checkCounter = 0;
    DropTables();
    try {
        for (TSide& side : m_sides) {
            if (side.size == 0) {
                RaiseError(QString::fromUtf8(kCompareZeroMessage));
            }
            if (const int error = side.table.Open(side.path); error != 0) {
                RaiseError(error == EINVAL || error == ENOENT
                               ? QString::fromUtf8(kCompareNoAccessMessage)
                               : SystemErrorText(error));
            }
            // What is compared is what the file holds now, measured on the open file.
            side.size = side.table.SourceSize();
            if (side.size == 0) {
                RaiseError(QString::fromUtf8(kCompareZeroMessage));
            }
            side.reference = side.table.OpenedTime();
        }
        m_segment = SegmentSize(std::min(m_sides[0].size, m_sides[1].size));
    } catch (...) {
        Abandon();
        throw;
    }
}

TFileComparer::TOutcome TFileComparer::Run(const QString& pathA, const QString& pathB,
                                           TCompareControl* control) {
    TFileStreamComparer comparer(pathA, pathB);
    comparer.Run(kReportedDifferences, {}, control);
    TOutcome outcome;
    outcome.stopped = comparer.Stopped();
    outcome.index = comparer.Index();
    outcome.report = comparer.Listed();
    return outcome;
}

void TFileComparer::Abandon() {
    ClearView();
    DropTables();
    m_commonLength = 0;
}

void TFileComparer::End(const TOutcome& outcome) {
    if (outcome.stopped) {
        Abandon();
        return;
    }
    m_commonLength = std::min(m_sides[0].size, m_sides[1].size);
    m_index = outcome.index;
    m_report = outcome.report;
    m_lastTopRow = ::LastTopRow(2 * m_commonLength);
    try {
        ReadPage();
    } catch (...) {
        Abandon();
        throw;
    }
}

void TFileComparer::Compare(const TPercentProgress& progress) {
    Begin();
    TOutcome outcome;
    try {
        outcome = Run(m_sides[0].path, m_sides[1].path);
    } catch (...) {
        Abandon();
        throw;
    }
    if (progress) {
        progress(100);
    }
    End(outcome);
}

// ---- the page -----------------------------------------------------------------------------

void TFileComparer::ReadPage() {
    m_pageStart = m_topRow * kCharsPerRow;
    m_hexPosition = 0;
    m_textPosition = 0;
    m_pageLength = std::clamp<qint64>(2 * m_commonLength - m_pageStart, 0, kPageChars);
    for (TSide& side : m_sides) {
        side.pageHex = BytesToHexText(side.table.Read(m_pageStart / 2, m_pageLength / 2));
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
    if (hash == s.pageHash || !s.table.IsOpen()) {
        return;
    }
    // The bytes that differ from the content go in as runs.
    const qint64 first = m_pageStart / 2;
    const QByteArray now = s.table.Read(first, s.pageHex.size() / 2);
    QByteArray page(s.pageHex.size() / 2, Qt::Uninitialized);
    HexTextToBytes(s.pageHex.constData(), page.size(), reinterpret_cast<uchar*>(page.data()));
    for (qsizetype i = 0; i < page.size() && i < now.size();) {
        if (page[i] == now[i]) {
            ++i;
            continue;
        }
        qsizetype end = i + 1;
        while (end < page.size() && end < now.size() && page[end] != now[end]) {
            ++end;
        }
        s.table.Overwrite(first + i, page.mid(i, end - i));
        s.modified = true;
        i = end;
    }
    s.pageHash = hash;
}

// ---- differences anywhere -----------------------------------------------------------------

std::optional<qint64> TFileComparer::FindDifference(qint64 offset, bool forward) const {
    if (!Loaded(0) || !Loaded(1) || m_commonLength <= 0) {
        return std::nullopt;
    }
    const TPieceTable& a = m_sides[0].table;
    const TPieceTable& b = m_sides[1].table;
    if (forward) {
        for (qint64 at = std::max<qint64>(0, offset + 1); at < m_commonLength;) {
            const qint64 n = std::min(kSearchBlock, m_commonLength - at);
            const QByteArray x = a.Read(at, n);
            const QByteArray y = b.Read(at, n);
            const auto [p, q] = std::mismatch(x.begin(), x.end(), y.begin(), y.end());
            if (p != x.end()) {
                return at + (p - x.begin());
            }
            at += n;
        }
        return std::nullopt;
    }
    for (qint64 end = std::min(offset, m_commonLength); end > 0;) {
        const qint64 n = std::min(kSearchBlock, end);
        const QByteArray x = a.Read(end - n, n);
        const QByteArray y = b.Read(end - n, n);
        for (qint64 i = n - 1; i >= 0; --i) {
            if (x[i] != y[i]) {
                return end - n + i;
            }
        }
        end -= n;
    }
    return std::nullopt;
}

qint64 TFileComparer::RowShowing(qint64 offset) const {
    return std::clamp<qint64>(offset / kBytesPerRow, 0, m_lastTopRow);
}

// ---- save ---------------------------------------------------------------------------------

void TFileComparer::Save(int side, const QString& destination, const TPercentProgress& progress) {
    TSide& s = m_sides[side];
    if (!s.table.IsOpen()) {
        RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
    }
    const auto changedInPlace = [&] {
        RaiseError(
            QString::fromUtf8(kCompareChangedInPlaceMessage).arg(PrintableName(NamePart(s.path))));
    };
    if (s.table.SourceState() == TSourceState::kChangedInPlace) {
        changedInPlace();
    }
    TReplacementFile output(destination);
    if (!output.Open()) {
        if (HoldsUnreplaceableFile(destination)) {
            RaiseError(QString::fromUtf8(kCompareCannotDeleteMessage)
                           .arg(PrintableName(NamePart(destination))));
        }
        RaiseError(output.ErrorText());
    }
    output.Reserve(s.table.Size());
    if (std::optional<TCopyFault> fault = s.table.WriteTo(output.Handle(), progress)) {
        output.Discard();
        RaiseError(
            fault->side == TCopyFault::kRead && fault->text == kUnexpectedEndText
                ? QString::fromUtf8(kCompareShrankMessage).arg(QString::fromUtf8(kSideNames[side]))
                : fault->text);
    }
    if (s.table.SourceState() == TSourceState::kChangedInPlace) {
        output.Discard();
        changedInPlace();
    }
    if (!output.Commit()) {
        RaiseError(output.ErrorText());
    }
    s.path = destination;
    s.modified = false;
    m_checkCounter = 0;
    // The side continues on the saved file, unedited, at the same page.
    if (s.table.Open(destination) != 0) {
        RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
    }
    s.size = s.table.SourceSize();
    for (TSide& each : m_sides) {
        const std::optional<TFileTime> time = LastWriteTime(each.path);
        if (!time) {
            RaiseError(QString::fromUtf8(kCompareNoAccessMessage));
        }
        each.reference = *time;
    }
    ShowPage(m_topRow);
}

// ---- reset and watch ----------------------------------------------------------------------

void TFileComparer::Reset() {
    ClearView();
    for (TSide& side : m_sides) {
        side.path.clear();
        side.size = 0;
        side.reference = {};
    }
    DropTables();
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
