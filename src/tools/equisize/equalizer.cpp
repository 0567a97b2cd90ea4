#include "tools/equisize/equalizer.h"
#include "storage/tool_state.h"

#include "base/bar_list.h"
#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_io.h"

#include <algorithm>
#include <cstdlib>

namespace {

[[noreturn]] void RaiseNamed(const char* message, const QString& path) {
    RaiseError(QString::fromUtf8(message).arg(PrintableName(NamePart(path))));
}

}  // namespace

TEqualizeCheck CheckEqualize(const QString& fileA, const QString& fileB) {
    if (fileA.isEmpty() || fileB.isEmpty()) {
        RaiseError(QString::fromUtf8(kEqualizeSelectMessage));
    }
    if (IsSameFile(fileA, fileB)) {
        RaiseError(QString::fromUtf8(kEqualizeSameFileMessage));
    }
    // A missing name or a folder would otherwise count as an empty file, and "truncate"
    // would then empty the other one.
    for (const QString& path : {fileA, fileB}) {
        if (!IsRegularFile(path)) {
            RaiseNamed(kEqualizeOpenMessage, path);
        }
    }
    TEqualizeCheck check;
    check.sizeA = FileSize64(fileA);
    check.sizeB = FileSize64(fileB);
    check.sameSize = check.sizeA == check.sizeB;
    return check;
}

TEqualizeResult Equalize(const QString& fileA, const QString& fileB, int route) {
    const TEqualizeCheck check = CheckEqualize(fileA, fileB);
    TEqualizeResult result;
    result.sizeA = check.sizeA;
    result.sizeB = check.sizeB;
    if (check.sameSize) {
        return result;
    }
    const int smaller = check.sizeA < check.sizeB ? 0 : 1;
    const qint64 smallSize = std::min(check.sizeA, check.sizeB);
    const qint64 difference = std::abs(check.sizeA - check.sizeB);
    result.target = route == kRouteTruncate ? 1 - smaller : smaller;
    const QString& target = result.target == 0 ? fileA : fileB;
    const qint64 targetSize = result.target == 0 ? check.sizeA : check.sizeB;

    TReplacementFile output(target);
    if (!output.Open()) {
        RaiseNamed(kEqualizeReplaceMessage, target);
    }
    TSourceFile input;
    if (!input.Open(target)) {
        RaiseNamed(kEqualizeOpenMessage, target);
    }
    const qint64 newSize = route == kRouteTruncate ? smallSize : targetSize + difference;
    output.Reserve(newSize);
    std::optional<TCopyFault> fault;
    if (route == kRoutePrefix) {
        fault = WriteZeros(output.Handle(), difference);
        if (!fault) {
            fault = CopyBytes(input.Handle(), 0, output.Handle(), targetSize);
        }
    } else if (route == kRouteTruncate) {
        fault = CopyBytes(input.Handle(), 0, output.Handle(), smallSize);
    } else {
        fault = CopyBytes(input.Handle(), 0, output.Handle(), targetSize);
        if (!fault) {
            fault = WriteZeros(output.Handle(), difference);
        }
    }
    if (fault) {
        RaiseError(fault->text);
    }
    input.Close();
    if (!output.Commit()) {
        RaiseNamed(kEqualizeReplaceMessage, target);
    }
    result.changed = true;
    (result.target == 0 ? result.sizeA : result.sizeB) = newSize;
    return result;
}

QString BrowsedSizeLabel(qint64 size) {
    return FormatThousands(QStringLiteral("["), static_cast<quint64>(size),
                           QStringLiteral(" Bytes]"));
}

QString LoadedSizeLabel(qint64 size) {
    return QStringLiteral("[%1 Bytes]").arg(size);
}

QByteArray EqualizeSettingsText(const TEqualizeSettings& settings) {
    return TBarList::Join({
        EncodeNativeName(settings.fileA),
        EncodeNativeName(settings.fileB),
        QByteArray::number(settings.route),
    });
}

std::optional<TEqualizeSettings> ParseEqualizeSettings(const QByteArray& text) {
    const TBarList fields(text);
    if (fields.Count() != kEqualizeSettingsFields) {
        return std::nullopt;
    }
    TEqualizeSettings settings;
    const int route = fields.Int(2, kDefaultRoute);
    settings.route = route >= 0 && route < static_cast<int>(kRouteNames.size()) ? route : 0;
    if (const QString file = DecodeNativeName(fields[0]); IsRegularFile(file)) {
        settings.fileA = file;
        settings.sizeA = FileSize64(file);
    }
    if (const QString file = DecodeNativeName(fields[1]); IsRegularFile(file)) {
        settings.fileB = file;
        settings.sizeB = FileSize64(file);
    }
    if (const QString folder = FolderPart(DecodeNativeName(fields[0])); IsFolder(folder)) {
        settings.folder = folder;
    }
    return settings;
}

void SaveEqualizeSettings(TAppStores& stores, const TEqualizeSettings& settings) {
    SaveToolText(stores, kEqualizeSettingsKey, EqualizeSettingsText(settings));
}

std::optional<TEqualizeSettings> LoadEqualizeSettings(TAppStores& stores) {
    const std::optional<QByteArray> text = LoadToolText(stores, kEqualizeSettingsKey);
    if (!text) {
        return std::nullopt;
    }
    return ParseEqualizeSettings(*text);
}
