// Fuzz target: the settings text decoder and the field splitter of the texts it yields.
// Each input is decoded as it stands and once more with its digest made right, so that
// mutated bodies get past the digest to the alphabet and digit checks; the input and every
// decoded text also go through the field splitter.
#include "fuzz_target.h"

#include "base/bar_list.h"
#include "base/settings_codec.h"

#include <QByteArray>

namespace {

constexpr qsizetype kDigestLength = 16;
// Digest, two paddings and the marker around the hex digits.
constexpr qsizetype kEncodedOverhead = 29;

void CheckFields(const QByteArray& text) {
    const TBarList list(text);
    FUZZ_CHECK(list.Count() == text.count('|'));
    // Joining the fields gives the text up to its last bar.
    FUZZ_CHECK(TBarList::Join(list.Fields()) == text.left(text.lastIndexOf('|') + 1));
    for (qsizetype i = 0; i < list.Count(); ++i) {
        FUZZ_CHECK(!list[i].contains('|'));
        const int value = list.Int(i, -1);
        FUZZ_CHECK(value == -1 || list.Int(i, -2) == value);
        FUZZ_CHECK(list.Flag(i) == (list[i] == "1"));
        (void)list.Text(i);
    }
}

void CheckDecoded(const QByteArray& encoded) {
    const QByteArray decoded = DecodeSettings(encoded);
    if (decoded.isEmpty()) {
        return;
    }
    // Two digits a byte; an odd last digit is ignored.
    const qsizetype spare = encoded.size() - kEncodedOverhead - 2 * decoded.size();
    FUZZ_CHECK(spare == 0 || spare == 1);
    FUZZ_CHECK(DecodeSettings(EncodeSettings(decoded)) == decoded);
    CheckFields(decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Raw data: a read past the input's end reaches past the fuzzer's own buffer.
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CheckDecoded(input);
    if (input.size() >= kDigestLength) {
        const QByteArray body = input.mid(kDigestLength);
        CheckDecoded(Digest64(body) + body);
    }
    CheckFields(input);
    return 0;
}
