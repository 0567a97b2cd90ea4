// What the backup store's source files share: how names and modes are kept in the
// tables, and the statements that make the chunk tables.
#pragma once

#include "platform/native_name.h"
#include "storage/sqlite_layer.h"

#include <QString>

namespace backup_store {

constexpr int kPermissionBits = 0777;

// A folder or file name as Paths keeps it: UTF-8 text, or the exact bytes as a BLOB value
// when the name is not UTF-8.
inline TSQLValue NameValue(const QString& name) {
    if (HasRawBytes(name)) {
        return TSQLBlob{EncodeNativeName(name)};
    }
    return name;
}

// A name read back by the stored type of its value.
inline QString ReadName(TSQLTable& table, int column) {
    if (const std::optional<QByteArray> bytes = table.GetBlobValue(column)) {
        return DecodeNativeName(*bytes);
    }
    return table.GetText(column);
}

// True when the store gives the name back exactly. Every name a folder listing or a
// watch yields is; only a text form that no bytes decode to (a lone surrogate other
// than a raw byte's) is not.
inline bool IsStorableName(const QString& name) {
    return DecodeNativeName(EncodeNativeName(name)) == name;
}

// A stored mode as permission bits, or -1 for none.
inline int ReadMode(TSQLTable& table, int column) {
    if (table.StoredType(column) != kStoredInteger) {
        return -1;
    }
    const qint64 mode = table.GetInt64(column);
    return mode < 0 ? -1 : static_cast<int>(mode & kPermissionBits);
}

// The tables of chunked versions, made in new stores and added to older ones.
inline const char* const kChunkSchema[] = {
    "CREATE TABLE IF NOT EXISTS [Chunks] ([cID] INTEGER PRIMARY KEY, [cHash] BLOB NOT NULL "
    "UNIQUE, [cData] BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS [Refs] ([rVersion] INTEGER NOT NULL, [rChunk] INTEGER NOT NULL, "
    "PRIMARY KEY ([rVersion], [rChunk])) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS [RefsByChunk] ON [Refs] ([rChunk])",
    "CREATE TABLE IF NOT EXISTS [Pending] ([nOwner] INTEGER NOT NULL, [nChunk] INTEGER NOT NULL, "
    "PRIMARY KEY ([nOwner], [nChunk])) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS [PendingByChunk] ON [Pending] ([nChunk])",
    "CREATE TABLE IF NOT EXISTS [Keys] ([kID] INTEGER PRIMARY KEY, [kSalt] BLOB NOT NULL, "
    "[kOps] INTEGER NOT NULL, [kMem] INTEGER NOT NULL, [kSum] BLOB NOT NULL)",
};

// The columns of Data that chunked versions fill: the facts of the file they were read
// from. NULL for classic versions.
inline const char* const kFactColumns[] = {"bMtime", "bCtime", "bInode"};

}  // namespace backup_store
