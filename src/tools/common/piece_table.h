// The edited content of HexEdit's and Compare's files: the file as it is on disk, kept
// open and read with positioned reads, plus the user's changes held as a list of pieces
// (ranges of the file and runs of inserted bytes). Opening, reading a page, overwriting,
// inserting and deleting cost the same whatever the file's size; only Save passes over
// the whole content, as one stream.
#pragma once

#include "platform/file_times.h"
#include "tools/common/file_io.h"
#include "tools/common/size_parts.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

#include <sys/types.h>

// How the file under an open piece table stands now.
enum class TSourceState {
    kUnchanged,       // as it was opened
    kReplaced,        // its path now names another file, or none, or its time changed;
                      // the open file itself still holds the bytes the table reads
    kChangedInPlace,  // the open file itself was written: its size or time changed, so
                      // the bytes read now are not those the edits were made on
};

// Not copyable; movable. Thread safety: one thread at a time.
class TPieceTable {
public:
    TPieceTable() = default;
    ~TPieceTable();
    TPieceTable(const TPieceTable&) = delete;
    TPieceTable& operator=(const TPieceTable&) = delete;
    TPieceTable(TPieceTable&& other) noexcept;
    TPieceTable& operator=(TPieceTable&& other) noexcept;

    // Opens a regular file for reading and shows it unedited (any earlier file is closed
    // first). Returns 0, or the errno: EINVAL for something that is not a regular file.
    [[nodiscard]] int Open(const QString& path);
    // Forgets the file and every edit. Safe to call twice.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const QString& Path() const { return m_path; }
    // The descriptor of the open file (for reading only).
    int Handle() const { return m_fd; }
    // The content's size in bytes, edits included, and the file's own size when opened.
    qint64 Size() const { return m_size; }
    qint64 SourceSize() const { return m_sourceSize; }
    // The file's last-write time when it was opened.
    const TFileTime& OpenedTime() const { return m_openedTime; }
    // True when the pieces no longer show the file exactly as opened (an edit that wrote
    // the same bytes back counts: the table does not compare).
    bool Edited() const { return m_edited; }
    // How many pieces hold the content (for tests and the benchmark).
    qsizetype PieceCount() const { return qsizetype(m_pieces.size()); }

    // Up to `length` bytes from `position` (fewer at the end, none past it). Raises with
    // the system's text when a read fails, or when the file ended early (it shrank).
    QByteArray Read(qint64 position, qint64 length) const;
    // Overwrites bytes from `position` (they must lie inside the content).
    void Overwrite(qint64 position, const QByteArray& bytes);
    // Inserts bytes before `position` (0..Size()).
    void Insert(qint64 position, const QByteArray& bytes);
    // Deletes up to `length` bytes from `position` (those up to the end only).
    void Erase(qint64 position, qint64 length);

    // Streams the whole content to `to`'s current position: ranges of the file are copied
    // by the kernel where it can, inserted bytes written. Returns the fault, or none.
    // `progress` gets the percentage written when it changes. Any thread, while nothing
    // edits the table.
    std::optional<TCopyFault> WriteTo(int to, const TPercentProgress& progress = {}) const;

    // Compares the open file and its path with what they were when opened.
    TSourceState SourceState() const;

private:
    struct TPiece {
        bool added = false;  // from m_added (else from the file)
        qint64 start = 0;    // offset in the file or in m_added
        qint64 length = 0;
    };
    // The piece holding `position` and the offset inside it; the end gives (size, 0).
    std::pair<size_t, qint64> Locate(qint64 position) const;
    // Splits the piece at `position` so that a piece starts there; returns its index.
    size_t SplitAt(qint64 position);

    QString m_path;
    int m_fd = -1;
    qint64 m_size = 0;
    qint64 m_sourceSize = 0;
    TFileTime m_openedTime;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_edited = false;
    std::vector<TPiece> m_pieces;
    QByteArray m_added;  // every inserted byte, each owned by exactly one piece
};

// A file's last-write time, links followed; none when it cannot be read. Any thread.
std::optional<TFileTime> LastWriteTime(const QString& path);
