// Checksum lists as GNU coreutils writes and reads them: "HEX  NAME" lines (sha256sum and
// its kin, "HEX *NAME" for binary mode) and tagged "TAG (NAME) = HEX" lines. Names are the
// bytes of file names; a name holding a backslash or a line break is escaped the way
// sha256sum escapes it, so that one line stays one name.
#pragma once

#include <QByteArray>
#include <QList>

// What turns a checksum line into a comment that sha256sum -c passes over: Split writes the
// whole file's line so ("# HEX  NAME"), as that file is not beside its pieces.
inline constexpr const char* kSumCommentPrefix = "# ";

// A "HEX  NAME" line as sha256sum writes it, with its line feed. A name holding a
// backslash, a line feed or a carriage return puts a backslash at the start of the line
// and is written with "\\", "\n" and "\r" for them. Any thread.
QByteArray FormatSumLine(const QByteArray& hex, const QByteArray& name);

// A tagged line as sha256sum --tag writes it: "TAG (NAME) = HEX" and a line feed, the
// name escaped as FormatSumLine escapes it. Any thread.
QByteArray FormatTaggedSumLine(const QByteArray& tag, const QByteArray& hex,
                               const QByteArray& name);

// A name as sha256sum -c shows it in its report ("NAME: OK"): as it is, unless it holds a
// line feed; then with a backslash first and "\\", "\n" and "\r" escaped. Any thread.
QByteArray CheckReportName(const QByteArray& name);

// One line of a checksum list.
struct TSumLine {
    QByteArray tag;   // the tag of a tagged line ("SHA256", ...); empty for "HEX  NAME"
    QByteArray hex;   // the hexadecimal digits as written (either case)
    QByteArray name;  // the file name's bytes, escapes undone
};

// Reads the lines of one checksum list in order, as sha256sum -c reads them: a line
// starting with "#" and an empty line are skipped; a carriage return before the line
// feed is dropped; leading blanks are skipped. A line is "[\]HEX" + a blank + " " or "*"
// + NAME, or "[\]TAG (NAME) = HEX" with blanks around "=" optional and the name ending
// at the last ")"; a leading backslash means the name is escaped ("\\", "\n", "\r" only).
// GNU's one-blank form "HEX NAME" (md5 -r) is taken when the list's first such line has
// it, and then the two forms may not be mixed. Whether the hex has the right length for
// its digest is the caller's question. Thread safety: one reader per thread.
class TSumListReader {
public:
    enum TResult {
        kSkipped,    // a comment or an empty line
        kRead,       // `line` holds the line
        kMalformed,  // not a checksum line
    };
    // `tags`: the tags a tagged line may carry ("MD5", "SHA256", ...).
    explicit TSumListReader(QList<QByteArray> tags);

    // Reads one line, without its line feed.
    TResult Read(const QByteArray& text, TSumLine& line);

private:
    TResult ReadTagged(const QByteArray& text, qsizetype at, bool escaped, TSumLine& line);
    TResult ReadPlain(const QByteArray& text, qsizetype at, bool escaped, TSumLine& line);

    QList<QByteArray> m_tags;
    int m_reversed = -1;  // -1 unknown, 0 "HEX  NAME" seen, 1 "HEX NAME" seen
};
