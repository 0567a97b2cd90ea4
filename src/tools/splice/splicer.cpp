#include "tools/splice/splicer.h"
#include "storage/tool_state.h"

#include "base/bar_list.h"
#include "base/digests.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"
#include "tools/common/sum_list.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <unistd.h>

namespace {

// A checksum list larger than this is not one that Split wrote (1022 pieces take about
// 100 KiB); reading stops there.
constexpr qint64 kListLimit = 16 << 20;
constexpr qint64 kReadBlock = 1 << 20;
constexpr qsizetype kSha256Digits = 64;

struct TListedPiece {
    QString path;
    QByteArray hex;  // upper case
};

// What a checksum list beside the pieces says about them.
struct TChecksumList {
    QString path;
    QList<TListedPiece> pieces;  // in the list's order
    QByteArray whole;            // upper case; empty when the list has no line for NAME
};

QString Text(const char* format) {
    return QString::fromUtf8(format);
}

// "NAME" of a piece "NAME.001" (a dot and at least three digits at the end); empty for a
// name that is not a piece.
QByteArray PieceBase(const QByteArray& name) {
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0 || name.size() - dot - 1 < 3) {
        return {};
    }
    for (qsizetype i = dot + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return {};
        }
    }
    return name.left(dot);
}

// The whole list file, read by the bytes of its name.
QByteArray ReadList(const QString& path) {
    TSourceFile file;
    if (!file.Open(path)) {
        RaiseError(Text(kSpliceAccessMessage).arg(PrintableName(path)));
    }
    QByteArray text;
    const qint64 size = std::min(file.Size(), kListLimit);
    text.resize(size);
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = pread(file.Handle(), text.data() + done, size - done, done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            RaiseError(Text(kSpliceAccessMessage).arg(PrintableName(path)));
        }
        done += got;
    }
    return text;
}

// The checksum list beside the first source, when that source is a piece and the list
// names it or its siblings; none otherwise. Raises for a list that cannot be read or holds
// a malformed line.
std::optional<TChecksumList> FindChecksumList(const QString& firstSource) {
    const QByteArray base = PieceBase(EncodeNativeName(NamePart(firstSource)));
    if (base.isEmpty()) {
        return std::nullopt;
    }
    QString folder = FolderPart(firstSource);
    if (!folder.isEmpty() && !folder.endsWith('/')) {
        folder += '/';
    }
    TChecksumList list;
    list.path = folder + DecodeNativeName(base + ".sha256");
    if (!IsRegularFile(list.path)) {
        return std::nullopt;
    }
    TSumListReader reader({"SHA256"});
    const QList<QByteArray> lines = ReadList(list.path).split('\n');
    for (qsizetype number = 0; number < lines.size(); ++number) {
        // The whole file's line that Split writes as a comment ("# HEX  NAME"); any other
        // comment is passed over.
        if (lines[number].startsWith(kSumCommentPrefix)) {
            TSumListReader wholeReader({"SHA256"});
            TSumLine whole;
            if (wholeReader.Read(lines[number].mid(qstrlen(kSumCommentPrefix)), whole) ==
                    TSumListReader::kRead &&
                whole.name == base && whole.hex.size() == kSha256Digits) {
                list.whole = whole.hex.toUpper();
            }
            continue;
        }
        TSumLine line;
        const TSumListReader::TResult result = reader.Read(lines[number], line);
        if (result == TSumListReader::kSkipped) {
            continue;
        }
        if (result == TSumListReader::kMalformed || line.hex.size() != kSha256Digits) {
            RaiseError(
                Text(kSpliceListDamagedMessage).arg(PrintableName(list.path)).arg(number + 1));
        }
        if (line.name == base) {
            list.whole = line.hex.toUpper();
        } else if (PieceBase(line.name) == base) {
            list.pieces.append({folder + DecodeNativeName(line.name), line.hex.toUpper()});
        }
    }
    if (list.pieces.isEmpty() && list.whole.isEmpty()) {
        return std::nullopt;
    }
    return list;
}

// The SHA-256 of a file, read by the bytes of its name.
QByteArray FileSha256(const QString& path) {
    TSourceFile file;
    if (!file.Open(path)) {
        RaiseError(Text(kSpliceAccessMessage).arg(PrintableName(path)));
    }
    const std::unique_ptr<TDigester> digest =
        MakeDigester(kDigestSha256, static_cast<quint64>(file.Size()));
    const std::unique_ptr<char[]> buffer(new char[kReadBlock]);
    for (qint64 offset = 0;;) {
        const ssize_t got = pread(file.Handle(), buffer.get(), kReadBlock, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            RaiseError(Text(kSpliceAccessMessage).arg(PrintableName(path)));
        }
        if (got == 0) {
            break;
        }
        digest->Update(reinterpret_cast<const uchar*>(buffer.get()), got);
        offset += got;
    }
    return digest->Final();
}

// The checks of the listed pieces, before anything is written.
void CheckListedPieces(const TChecksumList& list, const QStringList& sources,
                       const TSpliceProgress& checked) {
    if (list.pieces.isEmpty()) {
        return;
    }
    const QString listShown = PrintableName(list.path);
    for (const TListedPiece& piece : list.pieces) {
        if (!IsRegularFile(piece.path)) {
            RaiseError(Text(kSplicePieceMissingMessage).arg(PrintableName(piece.path)));
        }
    }
    const auto isListed = [&](const QString& source) {
        return std::any_of(list.pieces.begin(), list.pieces.end(), [&](const TListedPiece& piece) {
            return IsSameFile(source, piece.path);
        });
    };
    const qsizetype rows = std::max(list.pieces.size(), sources.size());
    for (qsizetype row = 0; row < rows; ++row) {
        if (row < sources.size() && row < list.pieces.size() &&
            IsSameFile(sources[row], list.pieces[row].path)) {
            continue;
        }
        // The first row that differs from the list: say how.
        if (row < sources.size() && !isListed(sources[row])) {
            RaiseError(Text(kSpliceNotListedMessage).arg(PrintableName(sources[row]), listShown));
        }
        if (row >= list.pieces.size()) {
            // A listed piece once more than the list has it.
            RaiseError(Text(kSplicePieceOrderMessage).arg(PrintableName(sources[row]), listShown));
        }
        const QString& expected = list.pieces[row].path;
        const bool elsewhere =
            std::any_of(sources.begin(), sources.end(),
                        [&](const QString& source) { return IsSameFile(source, expected); });
        if (elsewhere) {
            RaiseError(Text(kSplicePieceOrderMessage).arg(PrintableName(expected), listShown));
        }
        RaiseError(Text(kSplicePieceNotAddedMessage).arg(PrintableName(expected)));
    }
    for (const TListedPiece& piece : list.pieces) {
        if (FileSha256(piece.path) != piece.hex) {
            RaiseError(Text(kSplicePieceDamagedMessage).arg(PrintableName(piece.path), listShown));
        }
        if (checked) {
            checked(piece.path);
        }
    }
}

}  // namespace

void CheckSplice(const QString& destination, const QStringList& sources, bool overwrite) {
    if (destination.isEmpty()) {
        RaiseError(QString::fromUtf8(kSpliceNoDestMessage));
    }
    if (sources.size() < 2) {
        RaiseError(QString::fromUtf8(kSpliceTooFewMessage));
    }
    if (std::any_of(sources.begin(), sources.end(),
                    [&](const QString& source) { return IsSameFile(destination, source); })) {
        RaiseError(QString::fromUtf8(kSpliceDestInListMessage));
    }
    if (!overwrite && ExistsAsNonFolder(destination)) {
        RaiseError(QString::fromUtf8(kSpliceDestExistsMessage));
    }
}

qint64 Splice(const QString& destination, const QStringList& sources, bool overwrite,
              const TSpliceProgress& progress, const TSpliceProgress& checked) {
    CheckSplice(destination, sources, overwrite);
    const std::optional<TChecksumList> list = FindChecksumList(sources.first());
    if (list) {
        CheckListedPieces(*list, sources, checked);
    }
    TReplacementFile output(destination);
    if (!output.Open()) {
        RaiseError(QString::fromUtf8(kSpliceCannotWriteMessage).arg(PrintableName(destination)));
    }
    qint64 expected = 0;
    for (const QString& path : sources) {
        expected += FileSize64(path);
    }
    output.Reserve(expected);
    // The whole file's checksum is taken from the bytes as they are copied.
    std::unique_ptr<TDigester> whole;
    if (list && !list->whole.isEmpty()) {
        whole = MakeDigester(kDigestSha256, static_cast<quint64>(expected));
    }
    qint64 total = 0;
    for (const QString& path : sources) {
        TSourceFile source;
        if (!source.Open(path)) {
            RaiseError(QString::fromUtf8(kSpliceAccessMessage).arg(PrintableName(path)));
        }
        qint64 copied = 0;
        const std::optional<TCopyFault> fault =
            whole
                ? CopyToEndObserved(source.Handle(), output.Handle(), copied,
                                    [&](const char* data, qint64 bytes) {
                                        whole->Update(reinterpret_cast<const uchar*>(data), bytes);
                                    })
                : CopyToEnd(source.Handle(), output.Handle(), copied);
        if (fault) {
            RaiseError(QString::fromUtf8(kSpliceOtherMessage)
                           .arg(fault->text, PrintableName(destination)));
        }
        total += copied;
        source.Close();
        if (progress) {
            progress(path);
        }
    }
    if (whole && whole->Final() != list->whole) {
        RaiseError(Text(kSpliceWholeDamagedMessage).arg(PrintableName(list->path)));
    }
    if (!output.Commit()) {
        RaiseError(QString::fromUtf8(kSpliceCannotWriteMessage).arg(PrintableName(destination)));
    }
    return total;
}

bool AddSource(QStringList& list, const QString& path, bool multiples) {
    if (!multiples && list.contains(path)) {
        return false;
    }
    list.append(path);
    return true;
}

QStringList WithoutDuplicates(const QStringList& list) {
    QStringList unique = list;
    unique.removeDuplicates();
    return unique;
}

TListButtons ListButtons(int selected, int count) {
    return {selected > 0, selected >= 0 && selected < count - 1, selected >= 0};
}

int MoveRow(QStringList& list, int row, int direction) {
    const int target = row + direction;
    if (row < 0 || row >= list.size() || target < 0 || target >= list.size()) {
        return row;
    }
    list.swapItemsAt(row, target);
    return target;
}

QByteArray SpliceSettingsText(const TSpliceSettings& settings) {
    QByteArray rows;
    for (const QString& source : settings.sources) {
        rows += EncodeNativeName(source);
        rows += "\r\n";
    }
    return TBarList::Join({
        EncodeNativeName(settings.sourceFolder),
        EncodeNativeName(settings.destFolder),
        rows,
        EncodeNativeName(settings.destination),
        settings.multiples ? "1" : "0",
        settings.overwrite ? "1" : "0",
    });
}

std::optional<TSpliceSettings> ParseSpliceSettings(const QByteArray& text) {
    const TBarList fields(text);
    if (fields.Count() != kSpliceSettingsFields) {
        return std::nullopt;
    }
    TSpliceSettings settings;
    if (const QString folder = DecodeNativeName(fields[0]); IsFolder(folder)) {
        settings.sourceFolder = folder;
    }
    if (const QString folder = DecodeNativeName(fields[1]); IsFolder(folder)) {
        settings.destFolder = folder;
    }
    // Cut into lines as bytes: the text form of a name that is not UTF-8 holds lone
    // surrogates, which a regular expression does not take.
    QByteArray rows = fields[2];
    rows.replace("\r\n", "\n").replace('\r', '\n');
    for (const QByteArray& line : rows.split('\n')) {
        if (const QString row = DecodeNativeName(line); IsRegularFile(row)) {
            settings.sources.append(row);
        }
    }
    settings.multiples = fields.Flag(4);
    settings.overwrite = fields.Flag(5);
    const QString destination = DecodeNativeName(fields[3]);
    if (IsFolder(FolderPart(destination)) &&
        (settings.overwrite || !ExistsAsNonFolder(destination))) {
        settings.destination = destination;
    }
    return settings;
}

void SaveSpliceSettings(TAppStores& stores, const TSpliceSettings& settings) {
    SaveToolText(stores, kSpliceSettingsKey, SpliceSettingsText(settings));
}

std::optional<TSpliceSettings> LoadSpliceSettings(TAppStores& stores) {
    const std::optional<QByteArray> text = LoadToolText(stores, kSpliceSettingsKey);
    if (!text) {
        return std::nullopt;
    }
    return ParseSpliceSettings(*text);
}
