// Fuzz target: the DirTrack CSV writer. The input is cut at NUL bytes into names (a file
// name holds any byte but NUL and "/" is kept as it is); each name is written as a record
// row the way the tracker writes it, and an RFC 4180 reader must give back exactly the
// rows written: the name's bytes, the date and the word, three fields a row.
#include "fuzz_target.h"

#include "tools/dirtrack/watcher.h"

#include <QByteArray>
#include <QList>

namespace {

using TRow = QList<QByteArray>;

// Reads CSV text as RFC 4180 describes it (CR LF ends a record; a quoted field may hold
// commas, quotes doubled and line breaks). False for text that is not well formed.
bool ReadCsv(const QByteArray& text, QList<TRow>& rows) {
    TRow row;
    QByteArray field;
    qsizetype at = 0;
    while (at < text.size()) {
        if (text[at] == '"' && field.isEmpty()) {
            ++at;
            for (;;) {
                if (at >= text.size()) {
                    return false;  // no closing quote
                }
                if (text[at] == '"') {
                    if (at + 1 < text.size() && text[at + 1] == '"') {
                        field += '"';
                        at += 2;
                        continue;
                    }
                    ++at;
                    break;
                }
                field += text[at++];
            }
            if (at < text.size() && text[at] != ',' && text[at] != '\r') {
                return false;  // text after the closing quote
            }
            continue;
        }
        const char c = text[at];
        if (c == ',') {
            row << field;
            field.clear();
            ++at;
        } else if (c == '\r') {
            if (at + 1 >= text.size() || text[at + 1] != '\n') {
                return false;  // a bare CR outside quotes
            }
            row << field;
            field.clear();
            rows << row;
            row.clear();
            at += 2;
        } else if (c == '\n' || c == '"') {
            return false;  // a line break or a quote in an unquoted field
        } else {
            field += text[at++];
        }
    }
    return row.isEmpty() && field.isEmpty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray date = "260101:120000";
    const QByteArray word = "Modified";
    QList<TRow> written;
    QByteArray text = "Object,Date,Operation\r\n";
    for (const QByteArray& name : input.split('\0')) {
        text +=
            TrackCsvField(name) + ',' + TrackCsvField(date) + ',' + TrackCsvField(word) + "\r\n";
        written << TRow{name, date, word};
    }
    QList<TRow> rows;
    FUZZ_CHECK(ReadCsv(text, rows));
    FUZZ_CHECK(!rows.isEmpty());
    FUZZ_CHECK((rows.first() == TRow{"Object", "Date", "Operation"}));
    rows.removeFirst();
    FUZZ_CHECK(rows == written);
    return 0;
}
