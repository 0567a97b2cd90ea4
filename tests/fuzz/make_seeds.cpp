// Writes the seed corpora of the fuzz targets: a handful of valid inputs of each format
// and a few near-valid ones (one byte short, a length pointing past the end, a wrong
// digest or key). The generator is seeded, so a second run writes the same files.
//
//   fuzz_make_seeds FOLDER     (writes FOLDER/settings, FOLDER/profile_blob, FOLDER/version_blob)
#include "backup/profile.h"
#include "backup/profiles.h"
#include "backup/version_blob.h"
#include "base/host.h"
#include "base/random.h"
#include "base/settings_codec.h"
#include "storage/app_stores.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <cstdio>

namespace {

bool g_failed = false;

void Write(const QString& folder, const QString& name, const QByteArray& bytes) {
    QDir().mkpath(folder);
    QFile file(folder + "/" + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        g_failed = true;
    }
}

// ---- settings texts --------------------------------------------------------------------

QByteArray WithDigest(const QByteArray& body) {
    return Digest64(body) + body;
}

void WriteSettingsSeeds(const QString& folder) {
    QByteArray allBytes;
    for (int byte = 0; byte < 256; ++byte) {
        allBytes.append(static_cast<char>(byte));
    }
    const QByteArray fields = EncodeSettings("1|0|/home/user/docs/|256|");
    Write(folder, "empty", EncodeSettings(""));
    Write(folder, "fields", fields);
    Write(folder, "utf8", EncodeSettings("Docs \xC3\xA9t\xC3\xA9|\xE2\x82\xAC|x"));
    Write(folder, "all-bytes", EncodeSettings(allBytes));
    Write(folder, "plain-bar-list", "a||b|1|-12|tail");

    QByteArray badDigest = fields;
    badDigest[3] = badDigest[3] == '0' ? '1' : '0';
    Write(folder, "bad-digest", badDigest);
    Write(folder, "one-short", fields.left(fields.size() - 1));
    // Right digests over a body with an odd digit count, and over a symbol outside the
    // alphabet.
    QByteArray body = fields.mid(16);
    Write(folder, "odd-digit", WithDigest(body.left(6) + body.mid(6, 1) + body.mid(6)));
    body[8] = '"';
    Write(folder, "foreign-symbol", WithDigest(body));
}

// ---- profile blobs ---------------------------------------------------------------------

void WriteProfileSeeds(const QString& folder, TProfiles& list) {
    TProfile full(list, QStringLiteral("Docs \u00E9t\u00E9"), 7, QStringLiteral("/"));
    full.SetExtensions(QStringLiteral(".txt\r\n.doc\r\n"));
    full.RecheckReady();
    full.SetBit(kBitDetailedLog, true);
    full.SetBit(kBitAutostart, true);
    full.SetSizeLimit(9);
    full.SetDiscardRule(5);
    full.SetPriorityOrder(4);
    full.SetOverrideListFrom(kAlwaysBackup, {QStringLiteral("plain"), QStringLiteral("wild*")});
    full.SetOverrideList(kAlwaysSkip, QStringLiteral("~*"));
    full.SetOverrideList(kNeverDiscard, QStringLiteral("*.doc\uE000keep\uE000a?c"));
    full.SetIgnoreList(QStringLiteral("tmp\uE000usr\uE000missing"));
    const QByteArray blob = full.WriteProfileBlob();
    Write(folder, "full", blob);

    TProfile bare(list, QStringLiteral("New Profile"), 1, QString());
    Write(folder, "no-target", bare.WriteProfileBlob());

    TProfile tmp(list, QStringLiteral("Scratch"), 2, QStringLiteral("/tmp"));
    tmp.SetExtensions(QStringLiteral(".c\n.h\r\r\n\n.cpp"));
    Write(folder, "tmp-target", tmp.WriteProfileBlob());

    Write(folder, "one-short", blob.left(blob.size() - 1));
    QByteArray pointsPast = blob;
    qToLittleEndian<quint16>(60000, pointsPast.data() + 16);
    Write(folder, "points-past", pointsPast);
    QByteArray outOfRange = blob;
    outOfRange[3] = 9;       // priority order
    outOfRange[22] = 100;    // size limit
    outOfRange[23] = 99;     // discard rule
    outOfRange[4] = '\xFF';  // every stored flag bit
    Write(folder, "out-of-range", outOfRange);
    // Three reserved characters before the name.
    QByteArray reserved = blob;
    reserved[2] = 3;
    reserved.insert(kProfileBlobHeader, QByteArray("R\0S\0V\0", 6));
    Write(folder, "reserved-text", reserved);
}

// ---- version blobs ---------------------------------------------------------------------

// The fuzz target's control bytes: flags and a 24-bit expected size.
constexpr char kGivenSize = 1;
constexpr char kFixLength = 2;
constexpr char kPlainPayload = 4;

QByteArray Control(char flags, quint32 expectedSize) {
    QByteArray control(4, '\0');
    control[0] = flags;
    control[1] = static_cast<char>(expectedSize & 0xFF);
    control[2] = static_cast<char>((expectedSize >> 8) & 0xFF);
    control[3] = static_cast<char>((expectedSize >> 16) & 0xFF);
    return control;
}

void WriteVersionSeeds(const QString& folder) {
    const TBlobKeys keys = TBlobKeys::FromPassword(TAppStores::kDefaultPassword);
    QByteArray text;
    for (int line = 0; line < 12; ++line) {
        text += "line " + QByteArray::number(line) + " of a small text file\n";
    }
    const QByteArray stored = EncodeVersion("hello", false, keys);
    const QByteArray zlib = EncodeVersion(text, true, keys);
    if (BlobMethod(zlib) != kMethodZlib) {
        std::fprintf(stderr, "the text did not compress\n");
        g_failed = true;
    }
    // The same zlib blob with its payload unscrambled, for the plain-payload mode.
    QByteArray plain = zlib;
    ScramblePayload(plain.data() + kBlobHeaderSize, plain.size() - kBlobHeaderSize, keys.dataKey);

    Write(folder, "stored-sized", Control(kGivenSize, 5) + stored);
    Write(folder, "stored", Control(0, 0) + EncodeVersion("some text", false, keys));
    Write(folder, "zlib-sized", Control(kGivenSize, text.size()) + zlib);
    Write(folder, "zlib", Control(0, 0) + zlib);
    Write(folder, "zlib-plain",
          Control(kGivenSize | kFixLength | kPlainPayload, text.size()) + plain);

    Write(folder, "zlib-wrong-size", Control(kGivenSize, text.size() - 1) + zlib);
    QByteArray wrongKey = stored;
    wrongKey[1] = static_cast<char>(wrongKey[1] ^ 1);
    Write(folder, "wrong-key", Control(0, 0) + wrongKey);
    Write(folder, "zlib-plain-cut",
          Control(kFixLength | kPlainPayload, 0) + plain.left(plain.size() - 3));
    QByteArray method = stored;
    method[0] = 2;
    Write(folder, "unknown-method", Control(0, 0) + method);
    Write(folder, "empty-file", Control(kGivenSize, 0) + EncodeVersion("", false, keys));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    SeedRandom(1);
    const QString out = QString::fromLocal8Bit(argv[1]);
    WriteSettingsSeeds(out + "/settings");
    WriteVersionSeeds(out + "/version_blob");
    {
        TestDir dir;
        TTestHost host;
        host.OpenStores(dir.Sub("prog"));
        host.StartProfiles(false);
        WriteProfileSeeds(out + "/profile_blob", *host.Profiles());
    }
    return g_failed ? 1 : 0;
}
