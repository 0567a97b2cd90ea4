// HexEdit's stored state under the tool key "HexEd": seven fields.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class TAppStores;

inline constexpr const char* kHexSettingsKey = "HexEd";
inline constexpr int kHexSettingsFields = 7;

// tbNBytes and tbVByte ranges.
inline constexpr int kMinRunBytes = 1;
inline constexpr int kMaxRunBytes = 16;
inline constexpr int kMaxByteValue = 255;

struct THexSettings {
    QString source;          // field 0; read back only when it names an existing file
    QString openFolder;      // not stored: the folder of field 0, when it exists
    QString saveFolder;      // field 1; read back only when it names an existing folder
    int interpretation = 0;  // field 2: cbInter's item
    bool bigEndian = false;  // field 3
    int runBytes = 1;        // field 4: tbNBytes
    int byteValue = 0;       // field 5: tbVByte
                             // field 6: always "0"
};

// The stored text (before scrambling). Paths are stored as the bytes of their names (UTF-8
// for every name that is UTF-8), so that reading back loses nothing.
QByteArray HexSettingsText(const THexSettings& settings);

// Reads a stored text (already unscrambled); none unless it has exactly 7 fields. The
// interpretation is 0 when not a number or above the last item (a negative one passes, as
// for every stored list index); the run length is 1 and the byte value 0 when not numbers,
// each held within its slider's range.
std::optional<THexSettings> ParseHexSettings(const QByteArray& text);

// Scrambles and stores the settings. Main thread.
void SaveHexSettings(TAppStores& stores, const THexSettings& settings);
// The stored settings, or none when nothing usable is stored. Main thread.
std::optional<THexSettings> LoadHexSettings(TAppStores& stores);
