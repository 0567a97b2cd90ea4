// Compare's engine for its window: two files of any size compared over their common length
// by the streaming engine of `quiva compare`, a similarity index of one letter per segment,
// the first 64 differences, the neighbouring difference of any byte, a page of 16 rows of
// both files shown side by side (read in place through piece tables), editing of either
// side, and saving a side to a file.
#pragma once

#include "platform/file_times.h"
#include "tools/common/hex_text.h"
#include "tools/common/piece_table.h"
#include "tools/common/size_parts.h"
#include "tools/compare/segment_compare.h"
#include "tools/compare/stream_compare.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <bitset>
#include <functional>
#include <optional>

// ---- texts --------------------------------------------------------------------------------
inline constexpr const char* kCompareTitle = "File Comparator";
inline constexpr const char* kCompareReadingText = "Reading...";
inline constexpr const char* kCompareSavingText = "Saving...";
inline constexpr const char* kComparingText = "Comparing...%1%";  // the percentage
inline constexpr const char* kSegmentText = "%1 Bytes";           // edtSeg

inline constexpr const char* kCompareZeroMessage = "The file size cannot be zero!";
inline constexpr const char* kCompareNoAccessMessage = "Could not access file";
inline constexpr const char* kCompareCannotDeleteMessage = "Cannot delete %1";  // file name
inline constexpr const char* kCompareStoppedText = "Comparison stopped";
// Save of a side whose file another program wrote while it was open (the name).
inline constexpr const char* kCompareChangedInPlaceMessage =
    "%1 was changed by another program while it was open, so the edits no longer fit its "
    "bytes. Compare again to see it as it is now";

// The timestamp warnings by the sides that changed (1 A, 2 B, 3 both).
inline constexpr std::array<const char*, 4> kCompareTimestampTexts{
    "", "File A timestamp has changed", "File B timestamp has changed",
    "The timestamp for both files has changed"};

// The names of the sides in messages.
inline constexpr std::array<const char*, 2> kSideNames{"File A", "File B"};

// Thread safety: one thread at a time (the window's).
class TFileComparer {
public:
    struct TSide {
        QString path;
        qint64 size = 0;    // measured when chosen and again when a comparison starts
        TPieceTable table;  // the file read in place with the side's edits
        TFileTime reference;
        bool modified = false;
        QByteArray pageHex;
        QByteArray pageText;
        std::bitset<kPageBytes> printable;
        std::bitset<kPageBytes> marks;  // bytes of the page that differ from the other side
        quint32 pageHash = 0;
    };

    TFileComparer() = default;
    TFileComparer(const TFileComparer&) = delete;
    TFileComparer& operator=(const TFileComparer&) = delete;

    const TSide& Side(int side) const { return m_sides[side]; }
    bool Loaded(int side) const { return m_sides[side].table.IsOpen(); }
    bool Modified(int side) const { return m_sides[side].modified; }

    // ---- choosing files ---------------------------------------------------------------
    // Takes a side's file and measures it (64-bit; 0 when it is not a readable regular file).
    void SetPath(int side, const QString& path);
    // Measures both files again.
    void RefreshSizes();
    // "[1,234 Bytes]" (the size label after choosing a file) and "[1234 Bytes]" (after
    // measuring again).
    QString SizeText(int side) const;
    QString PlainSizeText(int side) const;
    // Empties the page, the marks, the index, the segment size and the report.
    void ClearView();

    // ---- the comparison -----------------------------------------------------------------
    // Compares the two files over their common length, in three steps so that the long
    // middle one can run on a worker: Begin (window thread) opens both files, End (window
    // thread) takes the outcome and shows the first page; Run (any thread, touching nothing
    // of the comparer) streams the files through the engine of `quiva compare`.
    // Begin measures both files again and raises, side A before B: kCompareZeroMessage,
    // kCompareNoAccessMessage (missing, or not a regular file) or the system's text. Run
    // raises kCompareShrankMessage or the system's text. After a failure or a stop nothing
    // is shown and no file is held open.
    struct TOutcome {
        QByteArray index;
        QList<TDifference> report;
        bool stopped = false;
    };
    void Begin();
    static TOutcome Run(const QString& pathA, const QString& pathB,
                        TCompareControl* control = nullptr);
    void End(const TOutcome& outcome);
    // Drops what Begin opened (after Run failed).
    void Abandon();
    // The three steps on the calling thread; `progress` gets the percentage once done.
    void Compare(const TPercentProgress& progress = {});

    qint64 CommonLength() const { return m_commonLength; }
    qint64 Segment() const { return m_segment; }
    // edtSeg's text ("8 Bytes"), empty before a comparison.
    QString SegmentText() const;
    const QByteArray& Index() const { return m_index; }
    const QList<TDifference>& Report() const { return m_report; }
    // The first row of the page that shows segment `letter` (0-based), or -1.
    qint64 SegmentRow(int letter) const;

    // ---- the page -------------------------------------------------------------------------
    qint64 TopRow() const { return m_topRow; }
    qint64 LastTopRow() const { return m_lastTopRow; }
    // Sets the top row (held within 0 and the last top row) and reads both sides' page.
    void ShowPage(qint64 topRow);
    bool CanGoUp() const { return m_topRow > 0; }
    bool CanPageUp() const { return m_topRow > 15; }
    bool CanGoDown() const { return m_topRow < m_lastTopRow; }
    bool CanPageDown() const { return m_topRow < m_lastTopRow - 16; }
    qsizetype PageLength() const { return m_pageLength; }
    QString RowOffsetText(int row) const { return OffsetText((m_topRow + row) * kBytesPerRow); }
    QString HexCell(int side, int row, int column) const;
    QString TextCell(int side, int row, int column) const;
    bool Printable(int side, int byteIndex) const {
        return m_sides[side].printable.test(byteIndex);
    }
    bool Marked(int side, int byteIndex) const { return m_sides[side].marks.test(byteIndex); }

    // ---- selection and editing ------------------------------------------------------------
    bool SelectData(int side, int row, int column);
    bool SelectText(int side, int row, int column);
    int HexPosition() const { return m_hexPosition; }
    int TextPosition() const { return m_textPosition; }
    QString SelectedHex(int side) const;
    QString SelectedChar(int side) const;
    // As THexDocument's: one or two digits replace the selected byte's high nibble or the
    // byte of `side`; returns the character that side's text editor shows then.
    QString CommitHex(int side, const QString& editorText);
    // The first character (codes up to 255) replaces the selected byte of `side`; returns
    // the two characters its byte editor shows, or none when nothing changed.
    std::optional<QString> CommitText(int side, const QString& editorText);

    // ---- differences anywhere --------------------------------------------------------------
    // The offset of the nearest byte after (forward) or before `offset` at which the two
    // sides, edits included, differ within the common length; none when there is none.
    // Reads both sides in blocks; raises with the system's text when a read fails.
    std::optional<qint64> FindDifference(qint64 offset, bool forward) const;
    // The top row that shows the byte at `offset` on the page (its row, held within the
    // last top row), and the byte's row and column on that page.
    qint64 RowShowing(qint64 offset) const;

    // How a side's file stands now (see TSourceState).
    TSourceState SourceState(int side) const { return m_sides[side].table.SourceState(); }

    // ---- save ---------------------------------------------------------------------------
    // Writes a side to `destination`: its whole file with its edits, so that saving an
    // unedited side gives a copy of its file. The new content goes to a new file beside
    // the destination as one stream, put in place when complete. Afterwards the
    // destination is the side's path (opened unedited) and both reference times are read
    // again. Raises kCompareChangedInPlaceMessage when another program wrote the side's
    // open file (its old and new bytes are never mixed), kCompareCannotDeleteMessage when
    // the destination holds what may not be replaced, kCompareNoAccessMessage when the
    // written file cannot be reached, or the system's text; nothing changes then.
    void Save(int side, const QString& destination, const TPercentProgress& progress = {});

    // ---- reset and watch -----------------------------------------------------------------
    void Reset();
    // One tick of the timestamp watch: 1, 2 or 3 (kCompareTimestampTexts) on every fourth
    // tick that finds A's, B's or both files' last-write time changed; 0 otherwise.
    int CheckTimestamps();

private:
    void ReadPage();
    void BuildTextViews();
    void WriteBack(int side);
    void DropTables();

    std::array<TSide, 2> m_sides;
    qint64 m_commonLength = 0;
    qint64 m_segment = 0;
    QByteArray m_index;
    QList<TDifference> m_report;
    qint64 m_topRow = 0;
    qint64 m_lastTopRow = 0;
    qint64 m_pageStart = 0;
    qsizetype m_pageLength = 0;
    int m_hexPosition = 0;
    int m_textPosition = 0;
    int m_checkCounter = 0;
};
