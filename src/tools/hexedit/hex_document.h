// HexEdit's engine: a file opened as a piece table (the file read in place, the edits held
// beside it), one page of 16 rows of 16 bytes read from it at a time as hexadecimal text,
// editing of the page (hexadecimal digits or characters) written back when it changed,
// insertion and deletion of runs of bytes, and saving the edited content as a new file.
// Load, a page, an edit, Add and Delete cost the same for every file size; positions and
// sizes are 64-bit throughout.
#pragma once

#include "platform/file_times.h"
#include "tools/common/file_io.h"
#include "tools/common/hex_text.h"
#include "tools/common/piece_table.h"
#include "tools/common/size_parts.h"
#include "tools/hexedit/hex_inspector.h"

#include <QByteArray>
#include <QString>

#include <bitset>
#include <optional>

// ---- texts --------------------------------------------------------------------------------
inline constexpr const char* kHexTitle = "Hexadecimal Editor";
inline constexpr const char* kHexReadingText = "Reading...";
inline constexpr const char* kHexReadingPageText = "Reading File Data...";
inline constexpr const char* kHexUpdatingText = "Updating...";
inline constexpr const char* kHexSavingText = "Saving...";
inline constexpr const char* kHexTimestampText = "The file timestamp has changed";
inline constexpr const char* kHexCopiedText = "Value copied to clipboard";

inline constexpr const char* kHexNoFileMessage = "No file";
inline constexpr const char* kHexNoAccessMessage = "Could not access file";
inline constexpr const char* kHexEmptyMessage = "The file is empty!";
inline constexpr const char* kHexReadErrorMessage = "Error while reading file contents";
inline constexpr const char* kHexNoSelectionMessage = "First select a start position!";
inline constexpr const char* kHexDeleteAllMessage = "Deletion would create an empty file";
inline constexpr const char* kHexCannotDeleteMessage = "Cannot delete %1";           // file name
inline constexpr const char* kHexSaveErrorMessage = "Error \"%1\" while saving %2";  // text, path
// Save of a file that another program wrote while it was open (the name): its edits were
// made on bytes that are no longer there.
inline constexpr const char* kHexChangedInPlaceMessage =
    "%1 was changed by another program while it was open, so the edits no longer fit its "
    "bytes. Reload it to see it as it is now";

// Thread safety: one thread at a time (the window's).
class THexDocument {
public:
    THexDocument() = default;
    THexDocument(const THexDocument&) = delete;
    THexDocument& operator=(const THexDocument&) = delete;
    THexDocument(THexDocument&&) = default;
    THexDocument& operator=(THexDocument&&) = default;

    // ---- the source -----------------------------------------------------------------------
    const QString& SourcePath() const { return m_source; }
    void SetSourcePath(const QString& path) { m_source = path; }

    // Opens the source and reads the first page; the file is read in place, so this costs
    // the same for every size. Raises, in order: kHexNoFileMessage, kHexNoAccessMessage
    // (missing, or not a regular file), the system's text when it cannot be opened,
    // kHexEmptyMessage, kHexReadErrorMessage (the first page cannot be read). A failed load
    // leaves nothing loaded.
    void Load();
    bool Loaded() const { return m_table.IsOpen(); }
    // The edited content.
    const TPieceTable& Content() const { return m_table; }
    // The content's size in bytes, edits included.
    qint64 ByteSize() const { return m_table.Size(); }
    // lblSize's text: "[1,234 Bytes]"; empty when nothing is loaded.
    QString SizeText() const;
    // How the loaded file stands now (see TSourceState).
    TSourceState SourceState() const { return m_table.SourceState(); }
    bool Modified() const { return m_modified; }
    bool TimestampChanged() const { return m_timestampChanged; }
    const TFileTime& ReferenceTime() const { return m_reference; }

    // ---- the page -------------------------------------------------------------------------
    qint64 TopRow() const { return m_topRow; }
    qint64 LastTopRow() const { return m_lastTopRow; }
    qint64 PageStart() const { return m_pageStart; }
    // Sets the top row and reads its page; the selection is dropped. Raises with the
    // system's text when the working copy cannot be read.
    void ShowPage(qint64 topRow);
    // The scroll buttons' rules.
    bool CanGoUp() const { return m_topRow > 0; }                      // Home, Line up
    bool CanPageUp() const { return m_topRow > 15; }                   // Page up
    bool CanGoDown() const { return m_topRow < m_lastTopRow; }         // Line down, End
    bool CanPageDown() const { return m_topRow < m_lastTopRow - 16; }  // Page down

    const QByteArray& PageHex() const { return m_pageHex; }
    const QByteArray& PageText() const { return m_pageText; }
    qsizetype PageLength() const { return m_pageHex.size(); }
    bool Printable(int byteIndex) const { return m_printable.test(byteIndex); }
    // The offset column's text of a page row.
    QString RowOffsetText(int row) const { return OffsetText((m_topRow + row) * kBytesPerRow); }
    // A byte cell's two characters, or a blank outside the page.
    QString HexCell(int row, int column) const;
    // A text cell's character, or a blank outside the page.
    QString TextCell(int row, int column) const;

    // ---- selection ------------------------------------------------------------------------
    // Selects the byte of a byte-grid cell; false (nothing changes) when the cell holds no
    // byte of the page.
    bool SelectData(int row, int column);
    // Selects the byte of a text-grid cell; false when it holds none.
    bool SelectText(int row, int column);
    int HexPosition() const { return m_hexPosition; }
    int TextPosition() const { return m_textPosition; }
    // The selected byte's two characters, and its page-text character.
    QString SelectedHex() const;
    QString SelectedChar() const;

    // ---- editing ------------------------------------------------------------------------
    // The byte editor's text after a key: one hexadecimal digit replaces the selected
    // byte's high nibble, two replace the byte; anything else changes nothing. A changed
    // page is written back to the working copy. Returns the character the text editor
    // shows then. Raises with the system's text when the write-back fails.
    QString CommitHex(const QString& editorText);
    // The text editor's text after a key: its first character (codes up to 255) replaces
    // the selected byte. Returns the two characters the byte editor shows then; none when
    // nothing changed (empty text, or a character that is not one byte). Raises as
    // CommitHex.
    std::optional<QString> CommitText(const QString& editorText);

    // ---- inspector ------------------------------------------------------------------------
    TInspectorRows Values(int interpretation, bool bigEndian) const {
        return Interpret(m_pageHex, m_hexPosition, interpretation, bigEndian);
    }

    // ---- insert and delete --------------------------------------------------------------
    // Inserts `count` bytes of `value` before the selected byte. Raises
    // kHexNoSelectionMessage without a selection, kNoRoomMessage, or the system's text.
    void Add(int count, quint8 value);
    // Deletes `count` bytes from the selected one on (up to the end). Raises
    // kHexNoSelectionMessage, kHexDeleteAllMessage when nothing would be left,
    // kNoRoomMessage, or the system's text. The view is kept on the file.
    void Delete(int count);

    // ---- save ---------------------------------------------------------------------------
    // Writes the edited content to `destination` as one stream: into a new file beside it,
    // put in place only when complete (an existing file keeps its permission bits, and its
    // content until then). Afterwards the destination is the source, opened unedited at
    // the same top row, its time the reference, and the document unmodified. Raises
    // kHexChangedInPlaceMessage (before anything is written, and again when the file
    // changes while it is written) when another program wrote the open file, so that its
    // old and new bytes are never mixed; kHexCannotDeleteMessage when something is at the
    // destination that may not be replaced (a folder, a special file, a file the user may
    // not write), kHexNoAccessMessage when the written file cannot be opened again, and
    // kHexSaveErrorMessage for any other failure; nothing changes then.
    void Save(const QString& destination, const TPercentProgress& progress = {});

    // ---- reset and watch -----------------------------------------------------------------
    // Forgets the file: no source, no edits, an empty page.
    void Reset();
    // One tick of the timestamp watch. True when "The file timestamp has changed" is to be
    // shown now: on the first tick that sees the source's last-write time differ from the
    // reference, and on every fourth tick after while it still does.
    bool CheckTimestamp();

private:
    void ClearPage();
    void ReadPage();
    void BuildTextView();
    void WriteBack();
    // The byte offset of the selected byte.
    qint64 SelectedOffset() const { return (m_pageStart + m_hexPosition - 1) / 2; }
    void AfterSizeChange();

    QString m_source;
    TPieceTable m_table;
    TFileTime m_reference;
    qint64 m_topRow = 0;
    qint64 m_lastTopRow = 0;
    qint64 m_pageStart = 0;
    QByteArray m_pageHex;
    QByteArray m_pageText;
    std::bitset<kPageBytes> m_printable;
    quint32 m_pageHash = 0;
    int m_hexPosition = 0;
    int m_textPosition = 0;
    bool m_modified = false;
    bool m_timestampChanged = false;
    int m_checkCounter = 0;
};
