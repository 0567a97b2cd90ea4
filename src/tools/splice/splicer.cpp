#include "tools/splice/splicer.h"
#include "storage/tool_state.h"

#include "base/bar_list.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"

#include <algorithm>

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
              const TSpliceProgress& progress) {
    CheckSplice(destination, sources, overwrite);
    TReplacementFile output(destination);
    if (!output.Open()) {
        RaiseError(QString::fromUtf8(kSpliceCannotWriteMessage).arg(PrintableName(destination)));
    }
    qint64 expected = 0;
    for (const QString& path : sources) {
        expected += FileSize64(path);
    }
    output.Reserve(expected);
    qint64 total = 0;
    for (const QString& path : sources) {
        TSourceFile source;
        if (!source.Open(path)) {
            RaiseError(QString::fromUtf8(kSpliceAccessMessage).arg(PrintableName(path)));
        }
        qint64 copied = 0;
        if (const auto fault = CopyToEnd(source.Handle(), output.Handle(), copied)) {
            RaiseError(QString::fromUtf8(kSpliceOtherMessage)
                           .arg(fault->text, PrintableName(destination)));
        }
        total += copied;
        source.Close();
        if (progress) {
            progress(path);
        }
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
