// The field splitter of stored settings texts: fields each ended by "|".
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Splits a text at "|": scanning from the start, each "|" ends a field, and text after
// the last "|" is dropped. So "a|b|c" yields two fields and the empty text none.
class TBarList {
public:
    TBarList() = default;
    explicit TBarList(const QByteArray& text);

    qsizetype Count() const { return m_fields.size(); }
    const QByteArray& operator[](qsizetype index) const { return m_fields[index]; }
    const QList<QByteArray>& Fields() const { return m_fields; }

    // Field decoded from UTF-8.
    QString Text(qsizetype index) const { return QString::fromUtf8(m_fields[index]); }
    // Field as a decimal integer, or `fallback` when it is not one.
    int Int(qsizetype index, int fallback) const;
    // Field "1" as true; anything else false.
    bool Flag(qsizetype index) const { return m_fields[index] == "1"; }

    // Builds a text of fields, each followed by "|" (the inverse of splitting, for
    // fields that hold no "|").
    static QByteArray Join(const QList<QByteArray>& fields);

private:
    QList<QByteArray> m_fields;
};
