#include "base/digests.h"

#include "base/errors.h"

#include <QIODevice>
#include <QtEndian>

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>

namespace {

constexpr qint64 kStreamBlock = 65536;

struct TDigestNames {
    const char* label;
    const char* name;
    const char* updated;
};

constexpr std::array<TDigestNames, kDigestCount> kNames = {{
    {"CRC32", "crc32", "CRC Updated"},
    {"MD5", "md5", "MD5 Updated"},
    {"SHA1", "sha1", "SHA1 Updated"},
    {"SHA256", "sha256", "SHA 256 Updated"},
    {"Quivash", "quivash", ""},
}};

class TCrc32Digester final : public TDigester {
public:
    void Update(const uchar* data, qsizetype size) override {
        m_crc = crc32_z(m_crc, data, static_cast<z_size_t>(size));
    }
    QByteArray Final() override {
        return QByteArray::number(static_cast<quint32>(m_crc), 16).toUpper().rightJustified(8, '0');
    }

private:
    uLong m_crc = crc32_z(0, nullptr, 0);
};

class TEvpDigester final : public TDigester {
public:
    explicit TEvpDigester(const EVP_MD* md) : m_ctx(EVP_MD_CTX_new()) {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx, md, nullptr) != 1) {
            EVP_MD_CTX_free(m_ctx);
            RaiseError(QStringLiteral("Digest initialisation failed"));
        }
    }
    ~TEvpDigester() override { EVP_MD_CTX_free(m_ctx); }
    TEvpDigester(const TEvpDigester&) = delete;
    TEvpDigester& operator=(const TEvpDigester&) = delete;

    void Update(const uchar* data, qsizetype size) override {
        if (EVP_DigestUpdate(m_ctx, data, static_cast<size_t>(size)) != 1) {
            RaiseError(QStringLiteral("Digest calculation failed"));
        }
    }
    QByteArray Final() override { return Raw().toHex().toUpper(); }

    QByteArray Raw() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_ctx, digest, &length) != 1) {
            RaiseError(QStringLiteral("Digest calculation failed"));
        }
        return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length));
    }

private:
    EVP_MD_CTX* m_ctx;
};

class TQuivashDigester final : public TDigester {
public:
    explicit TQuivashDigester(quint64 totalLength) : m_quivash(totalLength) {}
    void Update(const uchar* data, qsizetype size) override { m_quivash.Absorb(data, size); }
    QByteArray Final() override { return m_quivash.Finish(); }

private:
    TQuivash m_quivash;
};

}  // namespace

QString DigestLabel(TDigestKind kind) {
    return QString::fromLatin1(kNames.at(kind).label);
}

QString DigestUpdatedText(TDigestKind kind) {
    return QString::fromLatin1(kNames.at(kind).updated);
}

std::optional<TDigestKind> DigestKindFromName(const QString& name) {
    for (int kind = 0; kind < kDigestCount; ++kind) {
        if (name.compare(QLatin1String(kNames[kind].name), Qt::CaseInsensitive) == 0) {
            return static_cast<TDigestKind>(kind);
        }
    }
    return std::nullopt;
}

TDigester::~TDigester() = default;

std::unique_ptr<TDigester> MakeDigester(TDigestKind kind, quint64 totalLength) {
    switch (kind) {
        case kDigestCrc32:
            return std::make_unique<TCrc32Digester>();
        case kDigestMd5:
            return std::make_unique<TEvpDigester>(EVP_md5());
        case kDigestSha1:
            return std::make_unique<TEvpDigester>(EVP_sha1());
        case kDigestSha256:
            return std::make_unique<TEvpDigester>(EVP_sha256());
        case kDigestQuivash:
            return std::make_unique<TQuivashDigester>(totalLength);
    }
    return nullptr;
}

void ReadExactly(QIODevice& stream, char* buffer, qint64 size) {
    while (size > 0) {
        const qint64 got = stream.read(buffer, size);
        if (got < 0) {
            RaiseError(stream.errorString());
        }
        if (got == 0) {
            RaiseError(QStringLiteral("Stream read error"));
        }
        buffer += got;
        size -= got;
    }
}

QByteArray StreamDigest(QIODevice& stream, TDigestKind kind) {
    if (!stream.seek(0)) {
        RaiseError(stream.errorString());
    }
    const qint64 size = stream.size();
    const std::unique_ptr<TDigester> digester = MakeDigester(kind, static_cast<quint64>(size));
    QByteArray block(kStreamBlock, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 take = std::min(left, kStreamBlock);
        ReadExactly(stream, block.data(), take);
        digester->Update(reinterpret_cast<const uchar*>(block.constData()), take);
        left -= take;
    }
    return digester->Final();
}

QByteArray StreamCrc32(QIODevice& stream) {
    return StreamDigest(stream, kDigestCrc32);
}
QByteArray StreamMd5(QIODevice& stream) {
    return StreamDigest(stream, kDigestMd5);
}
QByteArray StreamSha1(QIODevice& stream) {
    return StreamDigest(stream, kDigestSha1);
}
QByteArray StreamSha256(QIODevice& stream) {
    return StreamDigest(stream, kDigestSha256);
}
QByteArray StreamQuivash(QIODevice& stream) {
    return StreamDigest(stream, kDigestQuivash);
}

QByteArray TextSha256(const QByteArray& text) {
    TEvpDigester digester(EVP_sha256());
    digester.Update(reinterpret_cast<const uchar*>(text.constData()), text.size());
    QByteArray digest = digester.Raw();
    // The standard digest holds each word most significant byte first; store each
    // least significant byte first instead.
    for (qsizetype word = 0; word + 4 <= digest.size(); word += 4) {
        const quint32 value = qFromBigEndian<quint32>(digest.constData() + word);
        qToLittleEndian(value, digest.data() + word);
    }
    return digest;
}
