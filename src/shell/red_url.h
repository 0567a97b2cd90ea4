// A read-only rich-text view whose web addresses are links: the About window's
// acknowledgements and the version window's text from the server.
#pragma once

#include <QString>
#include <QStringList>
#include <QTextBrowser>

// Thread safety: main thread only, like every widget.
class TRedURL : public QTextBrowser {
    Q_OBJECT
public:
    explicit TRedURL(QWidget* parent = nullptr);

    // Shows the lines as plain text (never read as markup), with every web address in them
    // made a link.
    void SetLines(const QStringList& lines);
    // Shows a rich-text (HTML) document; web addresses written in its text become links as
    // well as its own links.
    void SetRichText(const QString& html);

    // Leaves a margin of this many pixels between the frame and the text.
    void SetBorderWidth(int pixels) { setViewportMargins(pixels, pixels, pixels, pixels); }

    // The targets of the links shown, in order.
    QStringList Links() const;
    // Clicks the link that covers a character position of the text, as a left click on it
    // does. False when no link covers it.
    bool ClickLinkAt(int position);

    // Opens a web address (http, https or mailto; "www." addresses as http) in the desktop's
    // browser. False when it is not such an address or the desktop could not open it.
    static bool OpenWebLink(const QString& link);

signals:
    // A left click on a link: its range is selected, then this tells its target. Without a
    // receiver a click only selects the link.
    void LinkClick(const QString& link);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    // Makes every web address in the document's text a link (the automatic detection of a
    // rich edit).
    void DetectLinks();
};
