#include "storage/tool_state.h"

#include "base/settings_codec.h"
#include "storage/app_stores.h"

void SaveToolText(TAppStores& stores, const QByteArray& key, const QByteArray& text) {
    stores.SaveToolState(key, EncodeSettings(text));
}

std::optional<QByteArray> LoadToolText(TAppStores& stores, const QByteArray& key) {
    const std::optional<QByteArray> stored = stores.LoadToolState(key);
    if (!stored) {
        return std::nullopt;
    }
    return DecodeSettings(*stored);
}

void SaveToolFields(TAppStores& stores, const QByteArray& key, const QList<QByteArray>& fields) {
    SaveToolText(stores, key, TBarList::Join(fields));
}

std::optional<TBarList> LoadToolFields(TAppStores& stores, const QByteArray& key, qsizetype count) {
    const std::optional<QByteArray> text = LoadToolText(stores, key);
    if (!text) {
        return std::nullopt;
    }
    TBarList fields(*text);
    if (fields.Count() != count) {
        return std::nullopt;
    }
    return fields;
}
