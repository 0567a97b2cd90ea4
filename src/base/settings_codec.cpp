#include "base/settings_codec.h"

#include "base/random.h"

#include <QIODevice>

#include <array>

namespace {

// Base alphabet: a hex digit, or one of the two extra symbols, by position.
constexpr char kBase[] = "0123456789ABCDEF-|";
constexpr int kBaseLength = 18;
constexpr int kAlphabetLength = 20;  // 18 symbols, one padding-only symbol, the marker
constexpr int kPaddingLength = 6;
constexpr int kDigestLength = 16;
constexpr int kUsedAlphabets = 23;

// The substitution alphabets, fixed once for all stored data: never change them, or
// every stored text becomes unreadable. Each holds 20 distinct printable characters
// (no "|", quotes, backslash or backquote); the last one is the alphabet's marker, and
// the markers differ from one another. Only the first 23 are used.
constexpr std::array<const char*, 24> kAlphabets = {
    "8~SPdKsE$l&jt+yW5Y[M", ",4^H0*-8?POy$zxGUn{e", "amN^R7[!#yMGgQ%_<I}J", "{H2~gkT:z(0;rb}a.@Fv",
    "6prd9,WRB*)u^K{ikyQD", ";Dn%I0!Ac,pN]*RlUBOG", "_RE*#6m2IcY&0T@M4ufj", "ZAI;(l)hY<Fni&u{:k0p",
    "xcq$]>&nw{2=.l5}MCKE", "WsFDAC25oZb(niup^3h_", ";]V(_&-<)>r!ZmB{}qxc", "?R.JFl=gnih;!VtpDd$W",
    "TXY?6}{C1xf[^>esVHA]", "E65(?$o^3MNy>Uie}S@:", "+O-C!3s5H>YzdM<yIRq.", "p4P^hO*bix@]{wLWTj<Q",
    "_^Xu<ZYM0mdyF$}?1#~(", "&AKLj]q%XDiRHb,$vtSn", "EOYzt!inXTy+(8/PBNJ-", "aVt(zwBGF-*^X8yvfUpL",
    "I<Q%evroA~wTDy)/Si:K", "1=WvCnI9,@E#NX2]8:dF", "OW~#1vc-,&z8T/R<w;f[", "9sEPwuOqHQ_)a@#;SG~k",
};

char Marker(int alphabet) {
    return kAlphabets[alphabet][kAlphabetLength - 1];
}

void AppendPadding(QByteArray& out, const char* alphabet) {
    for (int i = 0; i < kPaddingLength; ++i) {
        out.append(alphabet[RandomBelow(kAlphabetLength - 1)]);
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

QByteArray Digest64(const QByteArray& text) {
    quint32 h = 0x811C9DC5u;
    quint32 f = 0;
    for (const char ch : text) {
        const quint32 b = static_cast<unsigned char>(ch);
        h = (h << 4) + b;
        const quint32 g = h & 0xF0000000u;
        if (g != 0) {
            h ^= g >> 24;
        }
        h &= ~g;
        f *= 0x01000193u;
        f ^= b;
    }
    QByteArray out(kDigestLength, '0');
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) {
        out[7 - i] = kHex[(h >> (4 * i)) & 0xF];
        out[15 - i] = kHex[(f >> (4 * i)) & 0xF];
    }
    return out;
}

QByteArray EncodeSettings(const QByteArray& text) {
    const char* alphabet = kAlphabets[RandomBelow(kUsedAlphabets)];
    QByteArray body;
    body.reserve(2 * kPaddingLength + 1 + 2 * text.size());
    AppendPadding(body, alphabet);
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        body.append(alphabet[byte >> 4]);
        body.append(alphabet[byte & 0xF]);
    }
    body.append(alphabet[kAlphabetLength - 1]);
    AppendPadding(body, alphabet);
    return Digest64(body) + body;
}

QByteArray DecodeSettings(const QByteArray& encoded) {
    if (encoded.size() < kDigestLength + 1) {
        return {};
    }
    const QByteArray rest = encoded.mid(kDigestLength);
    if (encoded.left(kDigestLength) != Digest64(rest)) {
        return {};
    }
    const qsizetype inner = rest.size() - 2 * kPaddingLength;
    if (inner < 1) {
        return {};
    }
    const char marker = rest[kPaddingLength + inner - 1];
    int chosen = -1;
    for (int i = 0; i < kUsedAlphabets; ++i) {
        if (Marker(i) == marker) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        return {};
    }
    const char* alphabet = kAlphabets[chosen];
    const qsizetype digits = (inner - 1) & ~qsizetype(1);  // an odd last digit is ignored
    QByteArray out;
    out.reserve(digits / 2);
    for (qsizetype i = 0; i < digits; i += 2) {
        int pair[2];
        for (int k = 0; k < 2; ++k) {
            const char symbol = rest[kPaddingLength + i + k];
            const void* found = memchr(alphabet, symbol, kBaseLength);
            // Only a crafted text with a valid digest gets here with a symbol that is not
            // a hex digit; it reads as damaged rather than raising into a loader.
            pair[k] = found ? HexValue(kBase[static_cast<const char*>(found) - alphabet]) : -1;
            if (pair[k] < 0) {
                return {};
            }
        }
        out.append(static_cast<char>((pair[0] << 4) | pair[1]));
    }
    return out;
}

QByteArray StreamDigest64(QIODevice& device) {
    constexpr qint64 kChunk = 65536;
    const qint64 position = device.pos();
    QByteArray out;
    if (device.seek(0)) {
        QByteArray chunk(kChunk, Qt::Uninitialized);
        for (;;) {
            qint64 got = 0;
            while (got < kChunk) {
                const qint64 n = device.read(chunk.data() + got, kChunk - got);
                if (n <= 0) {
                    break;
                }
                got += n;
            }
            if (got <= 0) {
                break;
            }
            out += Digest64(QByteArray::fromRawData(chunk.constData(), got));
            if (got < kChunk) {
                break;
            }
        }
    }
    device.seek(position);
    return out;
}

quint32 Hash32(const char* bytes, qsizetype length) {
    quint32 h = 0x811C9DC5u;
    for (qsizetype i = 0; i < length; ++i) {
        h *= 0x01000193u;
        h ^= static_cast<unsigned char>(bytes[i]);
    }
    return h;
}

quint32 PathHash32(const QString& text) {
    return Hash32(text.toUtf8());
}
