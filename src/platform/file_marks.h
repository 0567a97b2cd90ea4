// What the folder watcher knows of the files of each watched folder: per name a print of
// its size, times and inode, so that a walk after lost events can tell which files changed
// meanwhile. A folder listed without reading each file's status (the start, a folder that
// appears) knows its files by inode and the moment of the listing: a file whose status
// changed since then counts as changed. Kept compactly (a name hash, the print and the name's
// bytes), since a home folder holds hundreds of thousands of files. Used by the folder watcher
// only, on its reader thread.
#pragma once

#include <QByteArray>
#include <QHash>

#include <vector>

// The files of one folder.
class TMarkList {
public:
    struct TMark {
        quint64 nameHash = 0;
        quint64 print = 0;    // never 0; the inode when byInode
        quint32 nameAt = 0;   // offset of the name in the list's name bytes
        quint32 byInode = 0;  // 1: known by inode and the list's Since
    };

    static quint64 NameHash(const char* name, qsizetype length);

    // Adds a file; call Finish before looking anything up.
    void Add(const char* name, qsizetype length, quint64 print, bool byInode = false);
    // Sorts the list by name hash and frees what it does not need.
    void Finish();

    const std::vector<TMark>& Marks() const { return m_marks; }
    QByteArray NameOf(const TMark& mark) const;
    // The print of the file `name`, 0 when it is not in the list.
    quint64 Find(const QByteArray& name) const;
    const TMark* FindMark(const QByteArray& name) const;
    bool IsEmpty() const { return m_marks.empty(); }
    // When the files known by inode were listed (nanoseconds of the coarse real-time clock,
    // which the system's status change times follow).
    qint64 Since() const { return m_since; }
    void SetSince(qint64 since) { m_since = since; }

private:
    std::vector<TMark> m_marks;
    qint64 m_since = 0;
    QByteArray m_names;  // each name followed by a zero byte
};

// The files of every watched folder, by the folder's watch.
class TFileMarks {
public:
    // Replaces what is known of a folder's files by what a listing found.
    void Set(int folder, TMarkList list);
    void Drop(int folder);
    void Clear();
    // A file's print after one of its events; 0 when it is gone.
    void Note(int folder, const QByteArray& name, quint64 print);
    // The print known for a file, 0 when none.
    quint64 Find(int folder, const QByteArray& name) const;
    // What is known of a folder's files, its notes folded in.
    const TMarkList& Known(int folder);

private:
    void Fold(int folder);

    QHash<int, TMarkList> m_lists;
    // Events' prints not yet folded into the lists: folded a folder at a time when it is
    // looked at, and all at once when they grow past a limit.
    QHash<int, QHash<QByteArray, quint64>> m_notes;
    qsizetype m_noteCount = 0;
};
