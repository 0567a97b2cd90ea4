// The Checksummer's engine: one read feeding every digest in parallel, reports in row order
// on the calling thread, the source checks, stopping, and a stream that fails mid-way.
#include "base/errors.h"
#include "support/test_dir.h"
#include "tools/checksummer/checksummer.h"
#include "tools/common/file_tool_test_support.h"

#include <QBuffer>
#include <QDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

QByteArray RandomBytes(qsizetype size, unsigned seed) {
    std::mt19937 generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

struct Report {
    TDigestKind kind;
    QByteArray hex;
    std::thread::id thread;
};

class Checksummer : public ::testing::Test {
protected:
    // Runs the engine over `content` and records the reports.
    bool Run(const QByteArray& content, TDigestSet digests, const std::atomic<bool>* stop = nullptr,
             const std::function<void()>& afterFirst = {}) {
        QBuffer buffer;
        buffer.setData(content);
        buffer.open(QIODevice::ReadOnly);
        return ComputeDigests(
            buffer, digests,
            [&](TDigestKind kind, const QByteArray& hex) {
                reports.push_back({kind, hex, std::this_thread::get_id()});
                if (reports.size() == 1 && afterFirst) {
                    afterFirst();
                }
            },
            stop);
    }

    std::vector<Report> reports;
};

TEST_F(Checksummer, ReportsEveryDigestInRowOrderOnTheCallingThread) {
    // Several chunks, the last one short, so every digest runs through the ring of slots.
    const QByteArray content = RandomBytes(9 * 1024 * 1024 + 4321, 11);
    ASSERT_TRUE(Run(content, kAllDigests));
    ASSERT_EQ(reports.size(), size_t(kDigestCount));
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    for (int row = 0; row < kDigestCount; ++row) {
        EXPECT_EQ(reports[row].kind, row);
        EXPECT_EQ(reports[row].thread, std::this_thread::get_id());
        EXPECT_EQ(reports[row].hex, StreamDigest(buffer, TDigestKind(row)))
            << qPrintable(DigestLabel(TDigestKind(row)));
    }
}

TEST_F(Checksummer, AChosenSubsetComesInRowOrderWhateverTheBitOrder) {
    ASSERT_TRUE(Run("abc", DigestBit(kDigestSha256) | DigestBit(kDigestCrc32)));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].kind, kDigestCrc32);
    EXPECT_EQ(reports[0].hex, "352441C2");
    EXPECT_EQ(reports[1].kind, kDigestSha256);
    EXPECT_EQ(reports[1].hex, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

TEST_F(Checksummer, TheRowsAndStatusTextsOfTheWindow) {
    const char* const labels[] = {"CRC32", "MD5", "SHA1", "SHA256", "Quivash"};
    const char* const updated[] = {"CRC Updated", "MD5 Updated", "SHA1 Updated", "SHA 256 Updated",
                                   ""};
    for (int row = 0; row < kDigestCount; ++row) {
        EXPECT_EQ(DigestLabel(TDigestKind(row)), labels[row]);
        EXPECT_EQ(DigestUpdatedText(TDigestKind(row)), updated[row]);
        EXPECT_EQ(DigestKindFromName(QString(labels[row]).toUpper()), TDigestKind(row));
    }
    EXPECT_EQ(DigestKindFromName("sha-256"), std::nullopt);
}

TEST_F(Checksummer, StoppingEndsWithoutFurtherReports) {
    std::atomic<bool> stop{true};
    EXPECT_FALSE(Run(RandomBytes(5 * 1024 * 1024, 12), kAllDigests, &stop));
    EXPECT_TRUE(reports.empty());

    stop = false;
    EXPECT_FALSE(Run(RandomBytes(5 * 1024 * 1024, 13), kAllDigests, &stop, [&] { stop = true; }));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, kDigestCrc32);
}

TEST_F(Checksummer, ProgressCountsWhatEveryDigestHasTakenInRisingPercentages) {
    // Four-MiB chunks: 4, 8, 9 of 9 MiB and a bit; nothing at all for an empty stream.
    const std::pair<qint64, std::vector<int>> cases[] = {
        {9 * 1024 * 1024 + 100, {44, 89, 100}},
        {100, {100}},
        {0, {}},
    };
    for (const auto& [size, expected] : cases) {
        SCOPED_TRACE(size);
        QBuffer buffer;
        buffer.setData(RandomBytes(size, 15));
        buffer.open(QIODevice::ReadOnly);
        std::mutex lock;
        std::vector<int> percents;
        ASSERT_TRUE(ComputeDigests(
            buffer, kAllDigests, [](TDigestKind, const QByteArray&) {}, nullptr,
            [&](int percent) {
                std::lock_guard guard(lock);
                percents.push_back(percent);
            }));
        EXPECT_EQ(percents, expected);
    }
}

// A device that claims more bytes than it holds, like a file cut short while it is read.
class ShortDevice : public QBuffer {
public:
    ShortDevice(const QByteArray& content, qint64 claimed) : m_claimed(claimed) {
        setData(content);
        open(QIODevice::ReadOnly);
    }
    qint64 size() const override { return m_claimed; }

private:
    qint64 m_claimed;
};

TEST_F(Checksummer, AStreamCutShortFailsWithNoDigestReported) {
    // Short in the first chunk, and after several chunks while the digests are busy.
    const std::pair<qint64, qint64> cases[] = {{50, 100}, {9 * 1024 * 1024, 20 * 1024 * 1024}};
    for (const auto& [held, claimed] : cases) {
        ShortDevice device(RandomBytes(held, 14), claimed);
        int reported = 0;
        try {
            ComputeDigests(device, kAllDigests,
                           [&](TDigestKind, const QByteArray&) { ++reported; });
            ADD_FAILURE() << "no failure for " << held << " of " << claimed;
        } catch (const EQuiva& error) {
            EXPECT_EQ(error.Message(), "Stream read error");
        }
        EXPECT_EQ(reported, 0);
    }
}

TEST_F(Checksummer, SourceChecks) {
    TestDir dir;
    const QString folder = dir.MakeDir("folder");
    const QString fifo = dir.Sub("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString gone = dir.Write("gone.bin", "abc");
    ASSERT_TRUE(QFile::remove(gone));
    const struct {
        QString path;
        QString message;
    } cases[] = {
        {QString(), "Please select a source file"},
        {gone, gone + " not accessible"},
        {folder, folder + " not accessible"},
        {fifo, fifo + " not accessible"},  // never opened: reading a FIFO would block
    };
    for (const auto& c : cases) {
        int reported = 0;
        try {
            ComputeFileDigests(c.path, kAllDigests,
                               [&](TDigestKind, const QByteArray&) { ++reported; });
            ADD_FAILURE() << "no failure for " << qPrintable(c.path);
        } catch (const EQuiva& error) {
            EXPECT_EQ(error.Message(), c.message);
        }
        EXPECT_EQ(reported, 0);
    }

    const QString file = dir.Write("file.bin", "abc");
    EXPECT_NO_THROW(CheckSourceFile(file));
    ASSERT_TRUE(ComputeFileDigests(file, DigestBit(kDigestQuivash),
                                   [&](TDigestKind kind, const QByteArray& hex) {
                                       reports.push_back({kind, hex, std::this_thread::get_id()});
                                   }));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].hex, "B74A41E9E0AF052824210D54B874D2E9515F1CC0F8148390837CF920F7A08D1B");
}

TEST_F(Checksummer, NamesThatAreNotUtf8) {
    using namespace file_tool_test;
    TestDir dir;
    const QString file = dir.Sub(Latin1Name());
    ASSERT_TRUE(WriteNative(file, "abc"));
    ASSERT_NO_THROW(CheckSourceFile(file));
    ASSERT_TRUE(ComputeFileDigests(file, DigestBit(kDigestSha256),
                                   [&](TDigestKind kind, const QByteArray& hex) {
                                       reports.push_back({kind, hex, std::this_thread::get_id()});
                                   }));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].hex, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");

    // A missing one and a socket are named readably, the raw byte as \xE9.
    const QString socket = dir.Sub(Latin1Name("sock", ""));
    ASSERT_TRUE(MakeSocket(socket));
    for (const QString& path : {dir.Sub(Latin1Name("gone")), socket}) {
        try {
            CheckSourceFile(path);
            ADD_FAILURE() << "no failure for " << PrintableName(path).toStdString();
        } catch (const EQuiva& error) {
            EXPECT_EQ(error.Message(), PrintableName(path) + " not accessible");
            EXPECT_TRUE(error.Message().contains("\\xE9"));
        }
    }
}

}  // namespace
