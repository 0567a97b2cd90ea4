#include "shell/red_url.h"

#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

#include <optional>

namespace {

// A web address as a rich edit detects one: a scheme it knows, or "www.", up to a blank.
const QRegularExpression& WebAddressPattern() {
    static const QRegularExpression pattern(
        QStringLiteral(R"((?:https?://|mailto:|www\.)[^\s<>"]+)"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

// Punctuation that ends a sentence is not part of the address before it.
QString TrimAddress(QString address) {
    while (!address.isEmpty() &&
           QStringLiteral(".,;:!?)]}'").contains(address.at(address.size() - 1))) {
        address.chop(1);
    }
    return address;
}

// True when a character of [start, end) of the document already belongs to a link.
bool HasLink(const QTextBlock& block, int start, int end) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const int from = fragment.position();
        const int to = from + fragment.length();
        if (from < end && to > start && fragment.charFormat().isAnchor()) {
            return true;
        }
    }
    return false;
}

struct TLinkRange {
    int start = 0;
    int end = 0;
    QString href;
};

// The link covering the character at a document position: its whole run of characters
// with the same target.
std::optional<TLinkRange> LinkAt(const QTextDocument* document, int position) {
    const QTextBlock block = document->findBlock(position);
    if (!block.isValid()) {
        return std::nullopt;
    }
    QList<QTextFragment> fragments;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        fragments.append(it.fragment());
    }
    for (qsizetype i = 0; i < fragments.size(); ++i) {
        const QTextFragment& fragment = fragments[i];
        if (position < fragment.position() || position >= fragment.position() + fragment.length() ||
            !fragment.charFormat().isAnchor()) {
            continue;
        }
        const QString href = fragment.charFormat().anchorHref();
        qsizetype first = i;
        qsizetype last = i;
        while (first > 0 && fragments[first - 1].charFormat().anchorHref() == href) {
            --first;
        }
        while (last + 1 < fragments.size() &&
               fragments[last + 1].charFormat().anchorHref() == href) {
            ++last;
        }
        return TLinkRange{fragments[first].position(),
                          fragments[last].position() + fragments[last].length(), href};
    }
    return std::nullopt;
}

}  // namespace

TRedURL::TRedURL(QWidget* parent) : QTextBrowser(parent) {
    setReadOnly(true);
    // Links are the program's to open (only web addresses, in the desktop's browser).
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                            Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        // A link taken with the keyboard.
        emit LinkClick(url.toString());
    });
}

void TRedURL::SetLines(const QStringList& lines) {
    setPlainText(lines.join(QLatin1Char('\n')));
    DetectLinks();
}

void TRedURL::SetRichText(const QString& html) {
    setHtml(html);
    DetectLinks();
}

void TRedURL::DetectLinks() {
    QTextDocument* doc = document();
    QTextCharFormat link;
    link.setAnchor(true);
    link.setForeground(palette().link());
    link.setFontUnderline(true);
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        auto matches = WebAddressPattern().globalMatch(text);
        while (matches.hasNext()) {
            const QRegularExpressionMatch match = matches.next();
            const QString address = TrimAddress(match.captured());
            if (address.endsWith(QLatin1String("://")) || address.endsWith(QLatin1Char(':')) ||
                address.compare(QLatin1String("www."), Qt::CaseInsensitive) == 0) {
                continue;
            }
            const int start = block.position() + static_cast<int>(match.capturedStart());
            const int end = start + static_cast<int>(address.size());
            if (HasLink(block, start, end)) {
                continue;
            }
            QTextCursor cursor(doc);
            cursor.setPosition(start);
            cursor.setPosition(end, QTextCursor::KeepAnchor);
            link.setAnchorHref(address);
            cursor.mergeCharFormat(link);
        }
    }
}

QStringList TRedURL::Links() const {
    QStringList links;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        QString previous;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            const QString href = format.isAnchor() ? format.anchorHref() : QString();
            if (!href.isEmpty() && href != previous) {
                links.append(href);
            }
            previous = href;
        }
    }
    return links;
}

bool TRedURL::ClickLinkAt(int position) {
    const std::optional<TLinkRange> range = LinkAt(document(), position);
    if (!range) {
        return false;
    }
    QTextCursor cursor(document());
    cursor.setPosition(range->start);
    cursor.setPosition(range->end, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    emit LinkClick(range->href);
    return true;
}

void TRedURL::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPoint point = event->position().toPoint();
        const QString href = anchorAt(point);
        if (!href.isEmpty()) {
            const QPointF inDocument(point.x() + horizontalScrollBar()->value(),
                                     point.y() + verticalScrollBar()->value());
            const int hit = document()->documentLayout()->hitTest(inDocument, Qt::FuzzyHit);
            // The hit lies before or after the character under the mouse.
            for (const int position : {hit, hit - 1}) {
                const std::optional<TLinkRange> range = LinkAt(document(), position);
                if (range && range->href == href) {
                    ClickLinkAt(position);
                    event->accept();
                    return;
                }
            }
        }
    }
    QTextBrowser::mousePressEvent(event);
}

bool TRedURL::OpenWebLink(const QString& link) {
    const QString text = link.trimmed();
    const QUrl url = text.startsWith(QLatin1String("www."), Qt::CaseInsensitive)
                         ? QUrl(QStringLiteral("http://") + text)
                         : QUrl(text);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https") &&
                           scheme != QLatin1String("mailto"))) {
        return false;
    }
    return QDesktopServices::openUrl(url);
}
