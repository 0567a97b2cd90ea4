#include "tools/compare/compare_settings.h"

#include "base/bar_list.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "storage/tool_state.h"
#include "tools/common/file_io.h"

QByteArray CompareSettingsText(const TCompareSettings& settings) {
    return TBarList::Join({
        EncodeNativeName(settings.pathA),
        EncodeNativeName(settings.pathB),
        QByteArray::number(settings.page),
        "0",
    });
}

std::optional<TCompareSettings> ParseCompareSettings(const QByteArray& text) {
    const TBarList fields(text);
    if (fields.Count() != kCompareSettingsFields) {
        return std::nullopt;
    }
    TCompareSettings settings;
    const QString a = DecodeNativeName(fields[0]);
    const QString b = DecodeNativeName(fields[1]);
    settings.page = BoundIndex(fields.Int(2, 0), 1);
    if (IsRegularFile(a)) {
        settings.pathA = a;
    }
    if (IsRegularFile(b)) {
        settings.pathB = b;
    }
    if (const QString folder = FolderPart(a); !folder.isEmpty() && IsFolder(folder)) {
        settings.openFolder = WithTrailingSlash(folder);
    }
    if (const QString folder = FolderPart(b); !folder.isEmpty() && IsFolder(folder)) {
        settings.saveFolder = WithTrailingSlash(folder);
    }
    return settings;
}

void SaveCompareSettings(TAppStores& stores, const TCompareSettings& settings) {
    SaveToolText(stores, kCompareSettingsKey, CompareSettingsText(settings));
}

std::optional<TCompareSettings> LoadCompareSettings(TAppStores& stores) {
    const std::optional<QByteArray> text = LoadToolText(stores, kCompareSettingsKey);
    if (!text) {
        return std::nullopt;
    }
    return ParseCompareSettings(*text);
}
