// Tool states: the text a tool keeps under its tool key, "|"-separated fields scrambled by
// the settings codec. One helper for every tool and for the shell.
#pragma once

#include "base/bar_list.h"

#include <QByteArray>
#include <QList>

#include <optional>

class TAppStores;

// Scrambles the text and stores it under the key. Never raises. Main thread.
void SaveToolText(TAppStores& stores, const QByteArray& key, const QByteArray& text);
// The stored text of the key, unscrambled; none when nothing is stored, and an empty text
// when the stored one is damaged. Never raises. Main thread.
std::optional<QByteArray> LoadToolText(TAppStores& stores, const QByteArray& key);

// Builds "field|field|...|" and stores it under the key. Never raises. Main thread.
void SaveToolFields(TAppStores& stores, const QByteArray& key, const QList<QByteArray>& fields);
// The stored fields of a key when there are exactly `count` of them; none when nothing is
// stored, the text is damaged or the count differs. Never raises. Main thread.
std::optional<TBarList> LoadToolFields(TAppStores& stores, const QByteArray& key, qsizetype count);
