// Name Control's engine on real folders: the new names, the refusals of masks and
// extensions, which files are taken, subfolders first, renames that would replace another
// file, the preview, the undo, names that are not UTF-8, and the stored settings.
#include "tools/namecontrol/renamer.h"

#include "platform/file_facts.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using file_tool_test::ErrorOf;

TRenameRequest Request(const QString& folder, const QString& mask, quint32 options,
                       int nameCase = kCaseLower, const QString& extension = QString()) {
    TRenameRequest request;
    request.folder = folder;
    request.mask = mask;
    request.options = options;
    request.nameCase = nameCase;
    request.extension = extension;
    return request;
}

QStringList Names(const QString& folder) {
    return QDir(folder).entryList(
        QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs the renamer and collects its rows folder by folder.
struct TRun {
    int count = 0;
    QList<TRenameRow> rows;
    QList<TRenamed> renamed;
};
TRun RunRows(const TRenameRequest& request, bool preview = false) {
    TRun run;
    run.count = RunRenamer(
        request, preview, [&run](const QList<TRenameRow>& rows) { run.rows += rows; },
        &run.renamed);
    return run;
}

TEST(Renamer, NewNames) {
    struct Case {
        const char* name;
        quint32 options;
        int nameCase;
        const char* extension;
        const char* expected;
    };
    const Case cases[] = {
        {"Report Final.TXT", kNameChangeCase, kCaseLower, "", "report final.txt"},
        {"Report Final.TXT", kNameChangeExtension, kCaseLower, "md", "Report Final.md"},
        {"Report Final.TXT", kNameChangeCase | kNameChangeExtension, kCaseUpper, "md",
         "REPORT FINAL.MD"},
        {"a b.txt", kNameStripSpaces, kCaseLower, "", "ab.txt"},
        {"a b.TXT", kNameStripSpaces | kNameChangeCase, kCaseUpper, "", "AB.TXT"},
        {"a.b.txt", kNameChangeExtension, kCaseLower, "md", "a.b.md"},
        {"README", kNameChangeExtension, kCaseLower, "md", "README.md"},
        {"Report.TXT", kNameChangeExtension, kCaseLower, "", "Report"},  // no dangling dot
        {"rEPORT fINAL.TXT", kNameChangeCase, kCaseFirst, "", "Report final.txt"},
        {"Straße.txt", kNameChangeCase, kCaseUpper, "", "STRASSE.TXT"},
        {"Keep Me.TXT", 0, kCaseLower, "md", "Keep Me.TXT"},
    };
    for (const Case& c : cases) {
        const TRenameRequest request =
            Request("/", "*.*", c.options, c.nameCase, QString::fromUtf8(c.extension));
        EXPECT_EQ(NewFileName(QString::fromUtf8(c.name), request), QString::fromUtf8(c.expected))
            << c.name;
    }
}

TEST(Renamer, MaskAndExtensionRefusalsInOrder) {
    struct Case {
        const char* mask;
        const char* extension;
        const char* message;
    };
    const Case cases[] = {
        {"", "m.d", "File mask not specified"},
        {"*", "", "Mask MUST contain \".\""},
        {"sub/*.txt", "", "\\/:<|> not allowed in mask"},
        {"a:b.*", "", "\\/:<|> not allowed in mask"},
        {"*.txt", "m.d", "\\/:<|>. not allowed in extension"},
        {"*.txt", "a>b", "\\/:<|>. not allowed in extension"},
        {"*.txt", "md", ""},
    };
    TestDir dir;
    for (const Case& c : cases) {
        const TRenameRequest request =
            Request(dir.Path(), QString::fromUtf8(c.mask), kNameChangeExtension, kCaseLower,
                    QString::fromUtf8(c.extension));
        EXPECT_EQ(ErrorOf([&] { CheckRenameRequest(request); }), QString::fromUtf8(c.message))
            << c.mask << " / " << c.extension;
    }
    EXPECT_EQ(ErrorOf([&] { RunRows(Request(dir.Sub("missing"), "*.*", kNameChangeCase)); }),
              "Could not read " + dir.Sub("missing") + ": No such file or directory");
}

TEST(Renamer, TakesPlainFilesSubfoldersFirstAndLeavesHiddenLinksAndSpecialFiles) {
    TestDir dir;
    dir.Write("top/Report Final.TXT", "r");
    dir.Write("top/.Hidden.TXT", "h");
    dir.Write("top/Notes.MD", "n");
    dir.Write("top/sub/Sub File.TXT", "s");
    dir.Write("top/.hid/Inner.TXT", "i");
    dir.Write("outside/Target.TXT", "t");
    dir.MakeDir("outside/Folder");
    ASSERT_EQ(
        symlink(qPrintable(dir.Sub("outside/Target.TXT")), qPrintable(dir.Sub("top/Link.TXT"))), 0);
    ASSERT_EQ(symlink(qPrintable(dir.Sub("outside/Folder")), qPrintable(dir.Sub("top/Linked"))), 0);
    dir.Write("outside/Folder/Through.TXT", "f");
    ASSERT_EQ(mkfifo(qPrintable(dir.Sub("top/Pipe.TXT")), 0600), 0);

    const TRun run = RunRows(Request(dir.Sub("top"), "*.txt", kNameChangeCase | kNameRecurse));
    EXPECT_EQ(run.count, 2);
    ASSERT_EQ(run.rows.size(), 2);
    EXPECT_EQ(run.rows[0].path, dir.Sub("top/sub/Sub File.TXT"));
    EXPECT_EQ(run.rows[0].newPath, dir.Sub("top/sub/sub file.txt"));
    EXPECT_EQ(RowSuccessText(run.rows[0]), "Y");
    EXPECT_EQ(run.rows[1].path, dir.Sub("top/Report Final.TXT"));
    EXPECT_EQ(RowSuccessText(run.rows[1]), "Y");
    EXPECT_EQ(Names(dir.Sub("top")),
              QStringList({".Hidden.TXT", ".hid", "Link.TXT", "Linked", "Notes.MD", "Pipe.TXT",
                           "report final.txt", "sub"}));
    EXPECT_EQ(Names(dir.Sub("top/.hid")), QStringList({"Inner.TXT"}));
    EXPECT_EQ(Names(dir.Sub("outside/Folder")), QStringList({"Through.TXT"}));
    EXPECT_EQ(dir.Read("top/report final.txt"), "r");

    // With no option checked, every file still goes to the rename, under its own name.
    const TRun same = RunRows(Request(dir.Sub("top"), "*.*", 0));
    EXPECT_EQ(same.count, 2);
    for (const TRenameRow& row : same.rows) {
        EXPECT_EQ(row.path, row.newPath);
        EXPECT_EQ(RowSuccessText(row), "Y");
    }
    EXPECT_TRUE(same.renamed.isEmpty());
}

TEST(Renamer, ARenameNeverReplacesAnotherFile) {
    TestDir dir;
    dir.Write("d/A.TXT", "upper");
    dir.Write("d/a.txt", "lower");
    dir.Write("d/B.TXT", "b");
    dir.MakeDir("d/b.txt");  // a folder holds the new name
    const TRun run = RunRows(Request(dir.Sub("d"), "*.txt", kNameChangeCase));
    ASSERT_EQ(run.rows.size(), 3);
    EXPECT_EQ(run.rows[0].path, dir.Sub("d/A.TXT"));
    EXPECT_EQ(RowSuccessText(run.rows[0]), "N");
    EXPECT_EQ(run.rows[0].reason, "A file or folder of that name exists");
    EXPECT_EQ(RowSuccessText(run.rows[1]), "Y");  // a.txt keeps its name
    EXPECT_EQ(run.rows[2].path, dir.Sub("d/B.TXT"));
    EXPECT_EQ(RowSuccessText(run.rows[2]), "N");
    EXPECT_EQ(run.count, 1);
    EXPECT_EQ(dir.Read("d/A.TXT"), "upper");
    EXPECT_EQ(dir.Read("d/a.txt"), "lower");
    EXPECT_EQ(dir.Read("d/B.TXT"), "b");
}

TEST(Renamer, PreviewChangesNothingAndForeseesWhatARunDoes) {
    TestDir dir;
    dir.Write("d/M1.txt", "1");
    dir.Write("d/m1.TXT", "2");  // both become m1.txt: the second would be refused
    dir.Write("d/Q R.txt", "3");
    dir.Write("d/QR.txt", "4");  // strips to an existing name
    dir.Write("d/Plain One.TXT", "5");
    const QStringList before = Names(dir.Sub("d"));
    const TRenameRequest request =
        Request(dir.Sub("d"), "*.txt", kNameChangeCase | kNameStripSpaces);
    const TRun preview = RunRows(request, true);
    EXPECT_EQ(Names(dir.Sub("d")), before);
    EXPECT_TRUE(preview.renamed.isEmpty());
    for (const TRenameRow& row : preview.rows) {
        EXPECT_EQ(row.state, TRenameRow::kPreview);
        EXPECT_EQ(RowSuccessText(row), "");
    }

    const TRun real = RunRows(request);
    ASSERT_EQ(real.rows.size(), preview.rows.size());
    EXPECT_EQ(real.count, preview.count);
    for (qsizetype i = 0; i < real.rows.size(); ++i) {
        SCOPED_TRACE(qPrintable(real.rows[i].path));
        EXPECT_EQ(real.rows[i].path, preview.rows[i].path);
        EXPECT_EQ(real.rows[i].newPath, preview.rows[i].newPath);
        EXPECT_EQ(real.rows[i].reason, preview.rows[i].reason);
    }
    EXPECT_EQ(Names(dir.Sub("d")),
              QStringList({"QR.txt", "m1.TXT", "m1.txt", "plainone.txt", "qr.txt"}));
}

TEST(Renamer, UndoGivesTheOldNamesBackUnlessAFileMovedOnSince) {
    TestDir dir;
    dir.Write("d/One.TXT", "1");
    dir.Write("d/Two.TXT", "2");
    dir.Write("d/Three.TXT", "3");
    const TRun run = RunRows(Request(dir.Sub("d"), "*.*", kNameChangeCase, kCaseLower));
    ASSERT_EQ(run.renamed.size(), 3);
    // two.txt is renamed again by someone else; Three's old name is taken meanwhile.
    ASSERT_EQ(rename(qPrintable(dir.Sub("d/two.txt")), qPrintable(dir.Sub("d/elsewhere.txt"))), 0);
    dir.Write("d/Three.TXT", "intruder");
    int restored = 0;
    const QList<TRenameRow> rows = UndoRenames(run.renamed, restored);
    EXPECT_EQ(restored, 1);
    ASSERT_EQ(rows.size(), 3);
    for (const TRenameRow& row : rows) {
        SCOPED_TRACE(qPrintable(row.path + " " + row.reason));
        if (row.path == dir.Sub("d/one.txt")) {
            EXPECT_EQ(RowSuccessText(row), "Y");
        } else if (row.path == dir.Sub("d/two.txt")) {
            EXPECT_EQ(row.reason, "The file has been renamed or replaced since");
        } else {
            EXPECT_EQ(row.reason, "A file or folder of that name exists");
        }
    }
    EXPECT_EQ(dir.Read("d/One.TXT"), "1");
    EXPECT_EQ(dir.Read("d/elsewhere.txt"), "2");
    EXPECT_EQ(dir.Read("d/three.txt"), "3");
    EXPECT_EQ(dir.Read("d/Three.TXT"), "intruder");

    // A file replaced under the new name (another inode) is not renamed back either.
    dir.Write("e/Four.TXT", "4");
    const TRun again = RunRows(Request(dir.Sub("e"), "*.*", kNameChangeCase));
    ASSERT_TRUE(QFile::remove(dir.Sub("e/four.txt")));
    dir.Write("e/four.txt", "new");
    TFileFacts replaced;
    ASSERT_TRUE(ReadFileFacts(dir.Sub("e/four.txt"), replaced));
    if (replaced.inode == again.renamed[0].inode && !replaced.created) {
        GTEST_SKIP() << "the file system reused the inode and keeps no birth time";
    }
    const QList<TRenameRow> refused = UndoRenames(again.renamed, restored);
    EXPECT_EQ(restored, 0);
    ASSERT_EQ(refused.size(), 1);
    EXPECT_EQ(refused[0].reason, "The file has been renamed or replaced since");
    EXPECT_EQ(dir.Read("e/four.txt"), "new");
}

TEST(Renamer, NamesThatAreNotUtf8KeepTheirBytes) {
    TestDir dir;
    dir.MakeDir("d");
    const QByteArray folder = QFile::encodeName(dir.Sub("d"));
    const QByteArray raw = folder + "/CAF\xC9.TXT";  // Latin-1, not UTF-8
    const int fd = open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    const TRun run = RunRows(Request(dir.Sub("d"), "*.txt", kNameChangeCase));
    ASSERT_EQ(run.count, 1);
    struct stat st;
    EXPECT_EQ(lstat((folder + "/caf\xC9.txt").constData(), &st), 0);
    EXPECT_NE(lstat(raw.constData(), &st), 0);
}

TEST(Renamer, StoredSettings) {
    TestDir dir;
    TNameSettings settings;
    settings.folder = dir.Path();
    settings.mask = QStringLiteral("*.txt");
    settings.extension = QStringLiteral("md");
    settings.caseIndex = 1;
    settings.options = kNameChangeCase | kNameRecurse;
    const QList<QByteArray> fields = NameSettingsFields(settings);
    EXPECT_EQ(TBarList::Join(fields), dir.Path().toUtf8() + "|*.txt|md|1|5|");
    const TNameSettings back = ParseNameSettings(TBarList(TBarList::Join(fields)), 1);
    EXPECT_EQ(back.folder, dir.Path());
    EXPECT_EQ(back.mask, "*.txt");
    EXPECT_EQ(back.extension, "md");
    EXPECT_EQ(back.caseIndex, 1);
    EXPECT_EQ(back.options, 5u);

    for (const QByteArray& caseField : {QByteArray("5"), QByteArray("-1"), QByteArray("x")}) {
        const TNameSettings parsed =
            ParseNameSettings(TBarList(dir.Sub("gone").toUtf8() + "|*.*||" + caseField + "|z|"), 1);
        EXPECT_EQ(parsed.caseIndex, 0) << caseField.constData();
        EXPECT_EQ(parsed.folder, QString());
        EXPECT_EQ(parsed.options, 0u);
    }
}

}  // namespace
