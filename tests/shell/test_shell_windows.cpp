// The About window, the link view they share with the version window, and the splash
// window's life around the main window's start.
#include "app/tool_table.h"
#include "shell/about_window.h"
#include "shell/master_window.h"
#include "shell/red_url.h"
#include "shell/splash_window.h"
#include "support/test_dir.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QSignalSpy>
#include <QTextCursor>
#include <QUrl>
#include <QtTest/QTest>

#include <gtest/gtest.h>

// Takes the links the program hands the desktop to open.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened.append(url); }
};

namespace {

// Hands every web link the program opens to a catcher for the test's duration.
class TCatchLinks {
public:
    TCatchLinks() {
        for (const char* scheme : {"http", "https", "mailto"}) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "Open");
        }
    }
    ~TCatchLinks() {
        for (const char* scheme : {"http", "https", "mailto"}) {
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        }
    }
    TUrlCatcher catcher;
};

// A left click on the character at a text position of the view, as the user makes it.
void ClickAt(TRedURL* view, int position) {
    QTextCursor cursor(view->document());
    cursor.setPosition(position);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->cursorRect(cursor).center());
}

TEST(About, OpensFromTheHelpMenuAndItsLinksOpenInTheBrowser) {
    TestDir dir;
    TMaster master(dir.Sub("prog"), ToolTable());
    master.show();
    QAction* about = nullptr;
    for (QAction* menu : master.menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions()) {
            if (item->text() == "&About") {
                about = item;
            }
        }
    }
    ASSERT_NE(about, nullptr);
    about->trigger();
    auto* window = dynamic_cast<TfrmAbout*>(master.CurrentWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(HelpContextOf(window), 10);
    EXPECT_EQ(window->size(), QSize(330, 485));
    EXPECT_EQ(window->logo.lblVer->text(), "1.01a");
    EXPECT_FALSE(window->logo.imgLogo->pixmap().isNull());
    EXPECT_TRUE(window->redAbout->isReadOnly());
    // The acknowledgements, their addresses made links.
    const QStringList links = window->redAbout->Links();
    EXPECT_TRUE(links.contains("https://www.sqlite.org/"));
    EXPECT_TRUE(links.contains("https://www.qt.io/"));
    EXPECT_TRUE(window->redAbout->toPlainText().contains("Acknowledgements"));

    TCatchLinks browser;
    const int at = window->redAbout->toPlainText().indexOf("https://www.sqlite.org/");
    ASSERT_GE(at, 0);
    ClickAt(window->redAbout, at + 5);
    EXPECT_EQ(browser.catcher.opened, QList<QUrl>({QUrl("https://www.sqlite.org/")}));
    EXPECT_EQ(window->redAbout->textCursor().selectedText(), "https://www.sqlite.org/");
}

TEST(RedURL, AddressesInPlainTextBecomeLinksAndMarkupStaysText) {
    TRedURL view;
    view.resize(300, 200);
    view.SetLines({"See https://a.example/x?y=1, or www.b.example.",
                   "<b>not bold</b> <a href=\"file:///etc/passwd\">here</a>",
                   "Write to mailto:team@quiva.example; no link in http:// alone."});
    EXPECT_EQ(view.Links(), QStringList({"https://a.example/x?y=1", "www.b.example",
                                         "mailto:team@quiva.example"}));
    EXPECT_TRUE(view.toPlainText().contains("<b>not bold</b>"));

    // Without a receiver a click only selects the link.
    QSignalSpy clicks(&view, &TRedURL::LinkClick);
    const int at = view.toPlainText().indexOf("www.b");
    ASSERT_TRUE(view.ClickLinkAt(at + 2));
    EXPECT_EQ(view.textCursor().selectedText(), "www.b.example");
    ASSERT_EQ(clicks.size(), 1);
    EXPECT_EQ(clicks.first().first().toString(), "www.b.example");
    EXPECT_FALSE(view.ClickLinkAt(0));
}

TEST(RedURL, OnlyWebAddressesAreOpened) {
    TCatchLinks links;
    EXPECT_TRUE(TRedURL::OpenWebLink("https://a.example/x"));
    EXPECT_TRUE(TRedURL::OpenWebLink("www.b.example"));
    EXPECT_TRUE(TRedURL::OpenWebLink("mailto:team@quiva.example"));
    EXPECT_FALSE(TRedURL::OpenWebLink("file:///etc/passwd"));
    EXPECT_FALSE(TRedURL::OpenWebLink("javascript:alert(1)"));
    EXPECT_FALSE(TRedURL::OpenWebLink("/etc/passwd"));
    EXPECT_EQ(links.catcher.opened,
              QList<QUrl>({QUrl("https://a.example/x"), QUrl("http://www.b.example"),
                           QUrl("mailto:team@quiva.example")}));
}

TEST(Splash, AnEllipticBlackPictureAboveOtherWindows) {
    TfrmSplash splash;
    EXPECT_EQ(splash.size(), QSize(442, 253));
    EXPECT_TRUE(splash.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(splash.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(splash.imgSplash->pixmap().isNull());
    const QRegion outline = splash.mask();
    EXPECT_TRUE(outline.contains(QPoint(221, 126)));
    EXPECT_TRUE(outline.contains(QPoint(5, 126)));
    EXPECT_FALSE(outline.contains(QPoint(0, 0)));
    EXPECT_FALSE(outline.contains(QPoint(441, 252)));
    EXPECT_EQ(splash.imgSplash->pixmap().toImage().pixelColor(2, 2), QColor(Qt::black));
}

TEST(Splash, GoesAfterTheMainWindowShows) {
    TestDir dir;
    QPointer<TfrmSplash> splash = new TfrmSplash;
    splash->ShowNow();
    EXPECT_TRUE(splash->isVisible());
    {
        TMaster master(dir.Sub("prog"), ToolTable());
        splash->CloseAfterShown(&master);
        // Not before the main window shows.
        QCoreApplication::processEvents();
        ASSERT_FALSE(splash.isNull());
        master.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return splash.isNull(); }, 10000));
    }
    delete splash;
}

TEST(Splash, GoesWhenTheMainWindowGoesWithoutShowing) {
    QPointer<TfrmSplash> splash = new TfrmSplash;
    splash->ShowNow();
    {
        QWidget never;
        splash->CloseAfterShown(&never);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return splash.isNull(); }, 10000));
    delete splash;
}

}  // namespace

#include "test_shell_windows.moc"
