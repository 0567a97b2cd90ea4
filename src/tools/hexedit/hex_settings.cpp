#include "tools/hexedit/hex_settings.h"

#include "base/bar_list.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "storage/tool_state.h"
#include "tools/common/file_io.h"
#include "tools/hexedit/hex_inspector.h"

#include <algorithm>

QByteArray HexSettingsText(const THexSettings& settings) {
    return TBarList::Join({
        EncodeNativeName(settings.source),
        EncodeNativeName(settings.saveFolder),
        QByteArray::number(settings.interpretation),
        settings.bigEndian ? "1" : "0",
        QByteArray::number(settings.runBytes),
        QByteArray::number(settings.byteValue),
        "0",
    });
}

std::optional<THexSettings> ParseHexSettings(const QByteArray& text) {
    const TBarList fields(text);
    if (fields.Count() != kHexSettingsFields) {
        return std::nullopt;
    }
    THexSettings settings;
    const QString source = DecodeNativeName(fields[0]);
    if (IsRegularFile(source)) {
        settings.source = source;
    }
    if (const QString folder = FolderPart(source); !folder.isEmpty() && IsFolder(folder)) {
        settings.openFolder = WithTrailingSlash(folder);
    }
    if (const QString folder = DecodeNativeName(fields[1]); !folder.isEmpty() && IsFolder(folder)) {
        settings.saveFolder = folder;
    }
    settings.interpretation =
        BoundIndex(fields.Int(2, 0), static_cast<int>(kInterpretationNames.size()) - 1);
    settings.bigEndian = fields.Flag(3);
    settings.runBytes = std::clamp(fields.Int(4, 1), kMinRunBytes, kMaxRunBytes);
    settings.byteValue = std::clamp(fields.Int(5, 0), 0, kMaxByteValue);
    return settings;
}

void SaveHexSettings(TAppStores& stores, const THexSettings& settings) {
    SaveToolText(stores, kHexSettingsKey, HexSettingsText(settings));
}

std::optional<THexSettings> LoadHexSettings(TAppStores& stores) {
    const std::optional<QByteArray> text = LoadToolText(stores, kHexSettingsKey);
    if (!text) {
        return std::nullopt;
    }
    return ParseHexSettings(*text);
}
