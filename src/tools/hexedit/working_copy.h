// The working copy of HexEdit and Compare: a private temporary file ("qvkXXXXXX", 0600)
// holding a file's bytes as hexadecimal text, which page reads, edits, insertions and
// deletions change instead of the file itself; and the source facts the tools watch.
#pragma once

#include "platform/file_facts.h"
#include "platform/file_times.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The message when the temporary folder cannot hold a working copy: the bytes it needs
// and the folder.
inline constexpr const char* kNoRoomMessage =
    "Not enough free space for the working copy (%1 needed in %2)";

// Not copyable; movable. Closing (or destruction) deletes the temporary file.
// Thread safety: one thread at a time.
class TWorkingCopy {
public:
    TWorkingCopy() = default;
    ~TWorkingCopy();
    TWorkingCopy(const TWorkingCopy&) = delete;
    TWorkingCopy& operator=(const TWorkingCopy&) = delete;
    TWorkingCopy(TWorkingCopy&& other) noexcept;
    TWorkingCopy& operator=(TWorkingCopy&& other) noexcept;

    // Closes any previous copy, then makes a new empty one. Raises "Unable to create
    // backup file" when no temporary file can be made.
    void Create();
    // Closes the copy and deletes its file. Safe to call twice.
    void Close();

    bool IsOpen() const { return m_fd >= 0; }
    const QString& Path() const { return m_path; }
    int Handle() const { return m_fd; }
    // Its length in characters (2 per byte).
    qint64 Size() const { return m_size; }

    // Appends n bytes as 2n characters at the end. Raises with the system's text when
    // the write fails.
    void AppendBytes(const uchar* bytes, qsizetype n);
    // Appends characters as they are. Raises with the system's text.
    void AppendText(const char* text, qint64 n);
    // Appends `length` characters of `from` starting at character `position`. Raises
    // with the system's text.
    void AppendRange(const TWorkingCopy& from, qint64 position, qint64 length);

    // Up to `length` characters from `position` (fewer at the end, none past it).
    // Raises with the system's text when the read fails.
    QByteArray Read(qint64 position, qint64 length) const;
    // Overwrites characters at `position` (inside the copy). Raises with the system's text.
    void Write(qint64 position, const QByteArray& text);

    // Refuses with kNoRoomMessage when the folder of `path` has less free than `chars`
    // plus the program's free-space threshold (16 MiB).
    static void RequireRoom(const QString& path, qint64 chars);

private:
    QString m_path;
    int m_fd = -1;
    qint64 m_size = 0;
    QByteArray m_buffer;  // conversion buffer of AppendBytes
};

// A file's last-write time, links followed; none when it cannot be read. Any thread.
std::optional<TFileTime> LastWriteTime(const QString& path);
