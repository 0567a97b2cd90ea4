#include "tools/common/sum_list.h"

#include <algorithm>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The name with "\\", "\n" and "\r" written for a backslash, a line feed and a carriage
// return.
QByteArray EscapedName(const QByteArray& name) {
    QByteArray escaped;
    escaped.reserve(name.size() + 8);
    for (const char c : name) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool NeedsEscape(const QByteArray& name) {
    return name.contains('\\') || name.contains('\n') || name.contains('\r');
}

// Undoes EscapedName; false for any other escape, a backslash at the end or a NUL.
bool Unescape(const QByteArray& text, QByteArray& name) {
    name.clear();
    name.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0') {
            return false;
        }
        if (c != '\\') {
            name += c;
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
            case '\\':
                name += '\\';
                break;
            case 'n':
                name += '\n';
                break;
            case 'r':
                name += '\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

}  // namespace

QByteArray FormatSumLine(const QByteArray& hex, const QByteArray& name) {
    if (!NeedsEscape(name)) {
        return hex + "  " + name + '\n';
    }
    return '\\' + hex + "  " + EscapedName(name) + '\n';
}

QByteArray FormatTaggedSumLine(const QByteArray& tag, const QByteArray& hex,
                               const QByteArray& name) {
    if (!NeedsEscape(name)) {
        return tag + " (" + name + ") = " + hex + '\n';
    }
    return '\\' + tag + " (" + EscapedName(name) + ") = " + hex + '\n';
}

QByteArray CheckReportName(const QByteArray& name) {
    if (!name.contains('\n')) {
        return name;
    }
    return '\\' + EscapedName(name);
}

TSumListReader::TSumListReader(QList<QByteArray> tags) : m_tags(std::move(tags)) {}

TSumListReader::TResult TSumListReader::Read(const QByteArray& text, TSumLine& line) {
    QByteArray content = text;
    if (content.startsWith('#')) {
        return kSkipped;
    }
    if (content.endsWith('\r')) {
        content.chop(1);
    }
    if (content.isEmpty()) {
        return kSkipped;
    }
    qsizetype at = 0;
    while (at < content.size() && IsBlank(content[at])) {
        ++at;
    }
    const bool escaped = at < content.size() && content[at] == '\\';
    if (escaped) {
        ++at;
    }
    for (const QByteArray& tag : m_tags) {
        if (content.mid(at, tag.size()) == tag) {
            line.tag = tag;
            return ReadTagged(content, at + tag.size(), escaped, line);
        }
    }
    line.tag.clear();
    return ReadPlain(content, at, escaped, line);
}

TSumListReader::TResult TSumListReader::ReadTagged(const QByteArray& text, qsizetype at,
                                                   bool escaped, TSumLine& line) {
    if (at < text.size() && text[at] == ' ') {
        ++at;
    }
    if (at >= text.size() || text[at] != '(') {
        return kMalformed;
    }
    ++at;
    // The name ends at the last ")": names are not escaped for a parenthesis.
    const qsizetype close = text.lastIndexOf(')');
    if (close < at) {
        return kMalformed;
    }
    const QByteArray rawName = text.mid(at, close - at);
    qsizetype rest = close + 1;
    while (rest < text.size() && IsBlank(text[rest])) {
        ++rest;
    }
    if (rest >= text.size() || text[rest] != '=') {
        return kMalformed;
    }
    ++rest;
    while (rest < text.size() && IsBlank(text[rest])) {
        ++rest;
    }
    line.hex = text.mid(rest);
    if (line.hex.isEmpty() || !std::all_of(line.hex.begin(), line.hex.end(), IsHexDigit)) {
        return kMalformed;
    }
    if (escaped) {
        if (!Unescape(rawName, line.name)) {
            return kMalformed;
        }
    } else {
        line.name = rawName;
    }
    return line.name.isEmpty() || line.name.contains('\0') ? kMalformed : kRead;
}

TSumListReader::TResult TSumListReader::ReadPlain(const QByteArray& text, qsizetype at,
                                                  bool escaped, TSumLine& line) {
    qsizetype end = at;
    while (end < text.size() && IsHexDigit(text[end])) {
        ++end;
    }
    if (end == at || end >= text.size() || !IsBlank(text[end])) {
        return kMalformed;
    }
    line.hex = text.mid(at, end - at);
    qsizetype name = end + 1;
    const qsizetype left = text.size() - name;
    if (left == 0) {
        return kMalformed;
    }
    if (left == 1 || (text[name] != ' ' && text[name] != '*')) {
        // "HEX NAME": allowed only when the list has not used "HEX  NAME" before, as GNU
        // keeps a name with a leading blank from passing for the other form.
        if (m_reversed == 0) {
            return kMalformed;
        }
        m_reversed = 1;
    } else if (m_reversed != 1) {
        m_reversed = 0;
        ++name;  // the mode character: " " text, "*" binary
    }
    const QByteArray rawName = text.mid(name);
    if (escaped) {
        if (!Unescape(rawName, line.name)) {
            return kMalformed;
        }
    } else {
        line.name = rawName;
    }
    return line.name.isEmpty() || line.name.contains('\0') ? kMalformed : kRead;
}
