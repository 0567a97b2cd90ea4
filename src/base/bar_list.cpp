#include "base/bar_list.h"

TBarList::TBarList(const QByteArray& text) {
    qsizetype start = 0;
    for (qsizetype bar = text.indexOf('|'); bar >= 0; bar = text.indexOf('|', start)) {
        m_fields.append(text.mid(start, bar - start));
        start = bar + 1;
    }
}

int TBarList::Int(qsizetype index, int fallback) const {
    bool ok = false;
    const int value = m_fields[index].trimmed().toInt(&ok);
    return ok ? value : fallback;
}

QByteArray TBarList::Join(const QList<QByteArray>& fields) {
    QByteArray out;
    for (const QByteArray& field : fields) {
        out += field;
        out += '|';
    }
    return out;
}
