// File access shared by the file tools (Split, Splice, Fill, EquiSize): regular-file
// sources, fast copying in large blocks, and safe replacement of a file's content.
#pragma once

#include <QString>

#include <functional>
#include <optional>

// Why a copy or write stopped: which side failed and the system's own error text.
struct TCopyFault {
    enum TSide { kRead, kWrite };
    TSide side;
    QString text;
};

// The text of a copy that met the end of its source before the expected length.
inline constexpr const char* kUnexpectedEndText = "Unexpected end of file";

// A file opened for reading. Only regular files are taken: a FIFO, device or folder is
// refused without blocking. Not copyable; closes on destruction.
class TSourceFile {
public:
    TSourceFile() = default;
    ~TSourceFile();
    TSourceFile(const TSourceFile&) = delete;
    TSourceFile& operator=(const TSourceFile&) = delete;

    // Opens the path for reading. False when it is empty, missing, unreadable or not a
    // regular file.
    [[nodiscard]] bool Open(const QString& path);
    void Close();

    int Handle() const { return m_fd; }
    // The file's size when it was opened.
    qint64 Size() const { return m_size; }

private:
    int m_fd = -1;
    qint64 m_size = 0;
};

// Writes a file's new content beside it (in the same folder: an unnamed file where the
// file system allows it, else a hidden temporary) and puts it in place only when it is
// complete, so that the old file, if any, stays as it was until Commit succeeds. A symbolic
// link at the target is replaced by the new file, never written through or followed (a
// dangling link makes no file where it points); the folder is opened once and every step
// names the file relative to it. Only a regular file that the user may write (access W_OK)
// or a link is replaced: a folder, FIFO, socket or device, or a read-only file, at the
// target is refused by Open and again by Commit, and stays as it is. The new file keeps the
// permission bits of the regular file it replaces (a private file stays private); otherwise
// it gets 0666 less the umask. Names are kept byte for byte. Not copyable; an uncommitted
// temporary is removed on destruction.
class TReplacementFile {
public:
    explicit TReplacementFile(QString target);
    ~TReplacementFile();
    TReplacementFile(const TReplacementFile&) = delete;
    TReplacementFile& operator=(const TReplacementFile&) = delete;

    // Creates the temporary. False (see ErrorText) when the final path holds something that
    // may not be replaced (see above) or the temporary cannot be created in its folder.
    [[nodiscard]] bool Open();

    // The temporary's descriptor, positioned where the next write goes. Writes go in
    // order from the start, so the position is the new content's size.
    int Handle() const { return m_fd; }

    // Asks the file system to set aside room for `bytes` bytes of new content, which
    // makes writing it faster; the file's size is not changed. Room not used is given
    // back by Commit. Failure is harmless and ignored (writing then finds out).
    void Reserve(qint64 bytes);

    // Closes the temporary and renames it over the target. When an old file is replaced
    // its new content is first flushed to the disk. False (see ErrorText) when a step
    // fails or the final path now holds something that may not be replaced; the temporary
    // is then removed and the old file is untouched.
    [[nodiscard]] bool Commit();

    // Removes the temporary; the target is untouched. Safe to call twice.
    void Discard();

    const QString& Target() const { return m_target; }
    // The temporary's path; empty while the new content has no name yet.
    QString TempPath() const;
    // The system's text for the last failure of Open or Commit.
    const QString& ErrorText() const { return m_error; }

private:
    // Gives the new content a hidden name beside the final path: a new file, or with
    // `linkOpenFile` a name for the unnamed open one. False with m_error on failure.
    bool CreateNamed(bool linkOpenFile);

    QString m_target;
    QByteArray m_name;      // the target's last component, as bytes
    QByteArray m_tempName;  // the temporary's name in the folder
    QString m_error;
    int m_folderFd = -1;
    int m_fd = -1;
    qint64 m_reserved = 0;
};

// Copies `length` bytes of `from` starting at `offset` to the current position of `to`
// (whose position advances; `from`'s does not). Uses the kernel's copy_file_range where
// it serves and falls back to reads and writes of 1 MiB. Returns the fault, or none when
// all bytes were copied. A source that ends early is a read fault kUnexpectedEndText.
// Any thread.
std::optional<TCopyFault> CopyBytes(int from, qint64 offset, int to, qint64 length);

// Copies `from` from its start to its end, however long it is then, to the current
// position of `to`. `copied` receives the byte count. Returns the fault or none. Any thread.
std::optional<TCopyFault> CopyToEnd(int from, int to, qint64& copied);

// Sees each block of bytes that a copy passes on, in order, before it is written.
using TCopyObserver = std::function<void(const char* data, qint64 size)>;

// CopyBytes and CopyToEnd through the program's own buffer, showing every block to
// `observe` on the way (to digest the bytes while they are copied). Any thread.
std::optional<TCopyFault> CopyBytesObserved(int from, qint64 offset, int to, qint64 length,
                                            const TCopyObserver& observe);
std::optional<TCopyFault> CopyToEndObserved(int from, int to, qint64& copied,
                                            const TCopyObserver& observe);

// Writes `length` bytes to `to`, retrying short writes. Returns the fault or none.
std::optional<TCopyFault> WriteAll(int to, const char* data, qint64 length);

// Writes `count` zero bytes to `to` in large blocks. Returns the fault or none.
std::optional<TCopyFault> WriteZeros(int to, qint64 count);

// True when something other than a folder exists under the name (a file, a link, a
// special file). A folder, a missing name or an empty path give false.
bool ExistsAsNonFolder(const QString& path);

// The path up to its last "/", without a trailing "/" except for the root itself ("/").
// Empty when the path holds no "/".
QString FolderPart(const QString& path);

// The last component of the path (after the last "/").
QString NamePart(const QString& path);
