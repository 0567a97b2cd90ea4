// Fuzz target: the version blob decoder, with the keys of a fixed password. The input's
// first four bytes steer the run: a control byte (bit 0: pass an expected size; bit 1:
// make the length field match the keys; bit 2: the payload is given unscrambled) and a
// 24-bit expected size; the rest is the blob. A blob that decodes is encoded again both
// ways and must decode to the same bytes.
#include "fuzz_target.h"
#include "storage/app_stores.h"

#include "backup/version_blob.h"
#include "base/errors.h"
#include "base/host.h"

#include <QByteArray>
#include <QtEndian>

namespace {

constexpr size_t kControlSize = 4;
constexpr uint8_t kGivenSize = 1;
constexpr uint8_t kFixLength = 2;
constexpr uint8_t kPlainPayload = 4;
// The decoder reserves the expected size up front: keep it small enough for a fuzzer.
constexpr qint64 kLargestExpectedSize = 1024 * 1024;

const TBlobKeys& Keys() {
    static const TBlobKeys keys = TBlobKeys::FromPassword(TAppStores::kDefaultPassword);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kControlSize) {
        return 0;
    }
    const uint8_t control = data[0];
    const quint32 stated = data[1] | (data[2] << 8) | (data[3] << 16);
    const qint64 expectedSize =
        (control & kGivenSize) != 0 ? static_cast<qint64>(stated) % (kLargestExpectedSize + 1) : -1;
    QByteArray blob(reinterpret_cast<const char*>(data + kControlSize),
                    static_cast<qsizetype>(size - kControlSize));
    const TBlobKeys& keys = Keys();
    const qint64 payload = blob.size() - kBlobHeaderSize;
    if ((control & kFixLength) != 0 && payload >= 0) {
        qToLittleEndian<quint32>(static_cast<quint32>(payload) ^ keys.lengthKey, blob.data() + 1);
    }
    if ((control & kPlainPayload) != 0 && payload > 0) {
        ScramblePayload(blob.data() + kBlobHeaderSize, payload, keys.dataKey);
    }

    QByteArray content;
    try {
        content = DecodeVersion(blob, keys, expectedSize);
    } catch (const EQuiva& error) {
        FUZZ_CHECK(error.Message() == QLatin1String("Invalid backup data") ||
                   error.Message() == QLatin1String("Invalid encryption password"));
        return 0;
    }
    FUZZ_CHECK(expectedSize < 0 || content.size() == expectedSize);
    // An empty file's blob has no payload and never decodes.
    if (!content.isEmpty()) {
        for (const bool compress : {false, true}) {
            const QByteArray again = EncodeVersion(content, compress, keys);
            FUZZ_CHECK(DecodeVersion(again, keys, content.size()) == content);
        }
    }
    return 0;
}
