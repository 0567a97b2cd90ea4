#include "tools/file/splice/splicer.h"

#include "controls/bar_list.h"
#include "platform/file_system.h"
#include "platform/folders.h"
#include "shell/errors.h"
#include "shell/host.h"
#include "shell/settings_codec.h"
#include "tools/file/common/file_io.h"

#include <QFileInfo>
#include <QRegularExpression>

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
        RaiseError(QString::fromUtf8(kSpliceCannotWriteMessage).arg(destination));
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
            RaiseError(QString::fromUtf8(kSpliceAccessMessage).arg(path));
        }
        qint64 copied = 0;
        if (const auto fault = CopyToEnd(source.Handle(), output.Handle(), copied)) {
            RaiseError(QString::fromUtf8(kSpliceOtherMessage).arg(fault->text, destination));
        }
        total += copied;
        source.Close();
        if (progress) {
            progress(path);
        }
    }
    if (!output.Commit()) {
        RaiseError(QString::fromUtf8(kSpliceCannotWriteMessage).arg(destination));
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
        rows += source.toUtf8();
        rows += "\r\n";
    }
    return TBarList::Join({
        settings.sourceFolder.toUtf8(),
        settings.destFolder.toUtf8(),
        rows,
        settings.destination.toLocal8Bit(),
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
    if (const QString folder = fields.Text(0); !folder.isEmpty() && FolderExists(folder)) {
        settings.sourceFolder = folder;
    }
    if (const QString folder = fields.Text(1); !folder.isEmpty() && FolderExists(folder)) {
        settings.destFolder = folder;
    }
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    const QStringList rows = fields.Text(2).split(lineBreak, Qt::SkipEmptyParts);
    for (const QString& row : rows) {
        if (QFileInfo(row).isFile()) {
            settings.sources.append(row);
        }
    }
    settings.multiples = fields.Flag(4);
    settings.overwrite = fields.Flag(5);
    const QString destination = QString::fromLocal8Bit(fields[3]);
    const QString folder = FolderPart(destination);
    if (!folder.isEmpty() && FolderExists(folder) &&
        (settings.overwrite || !ExistsAsNonFolder(destination))) {
        settings.destination = destination;
    }
    return settings;
}

void SaveSpliceSettings(const TSpliceSettings& settings) {
    if (THost* host = Host()) {
        host->SaveToolState(kSpliceSettingsKey, EncodeSettings(SpliceSettingsText(settings)));
    }
}

std::optional<TSpliceSettings> LoadSpliceSettings() {
    THost* host = Host();
    if (!host) {
        return std::nullopt;
    }
    const std::optional<QByteArray> stored = host->LoadToolState(kSpliceSettingsKey);
    if (!stored) {
        return std::nullopt;
    }
    return ParseSpliceSettings(DecodeSettings(*stored));
}
