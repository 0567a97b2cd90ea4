// Compare's stored state under the tool key "FileComp": four fields.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class TAppStores;

inline constexpr const char* kCompareSettingsKey = "FileComp";
inline constexpr int kCompareSettingsFields = 4;

struct TCompareSettings {
    QString pathA;       // field 0; read back only when it names an existing file
    QString pathB;       // field 1; likewise
    QString openFolder;  // not stored: the folder of field 0, when it exists
    QString saveFolder;  // not stored: the folder of field 1, when it exists
    int page = 0;        // field 2: 0 Report, 1 Data
                         // field 3: always "0"
};

// The stored text (before scrambling); paths as the bytes of their names.
QByteArray CompareSettingsText(const TCompareSettings& settings);
// Reads a stored text (already unscrambled); none unless it has exactly 4 fields. The page
// is 0 when not a number or above 1.
std::optional<TCompareSettings> ParseCompareSettings(const QByteArray& text);

void SaveCompareSettings(TAppStores& stores, const TCompareSettings& settings);
std::optional<TCompareSettings> LoadCompareSettings(TAppStores& stores);
