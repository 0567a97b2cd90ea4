// Fuzz target: the checksum list reader. Every line of the input is read as sha256sum -c
// reads a list; a line that reads is written again (plain or tagged, as it came) and must
// read back to the same tag, digits and name with a fresh reader, whatever bytes the name
// holds. The report name of every name read must stay one line.
#include "fuzz_target.h"

#include "tools/common/sum_list.h"

#include <QByteArray>
#include <QList>

namespace {

const QList<QByteArray>& Tags() {
    static const QList<QByteArray> tags = {"MD5", "SHA1", "SHA256", "SHA512", "BLAKE2b"};
    return tags;
}

void CheckRoundTrip(const TSumLine& line) {
    const QByteArray written = line.tag.isEmpty()
                                   ? FormatSumLine(line.hex, line.name)
                                   : FormatTaggedSumLine(line.tag, line.hex, line.name);
    FUZZ_CHECK(written.endsWith('\n'));
    // One line: every line feed of the name was escaped.
    FUZZ_CHECK(written.count('\n') == 1);
    TSumListReader again(Tags());
    TSumLine back;
    FUZZ_CHECK(again.Read(written.chopped(1), back) == TSumListReader::kRead);
    FUZZ_CHECK(back.tag == line.tag);
    FUZZ_CHECK(back.hex == line.hex);
    FUZZ_CHECK(back.name == line.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TSumListReader reader(Tags());
    for (const QByteArray& text : input.split('\n')) {
        TSumLine line;
        const TSumListReader::TResult result = reader.Read(text, line);
        if (result != TSumListReader::kRead) {
            continue;
        }
        FUZZ_CHECK(!line.hex.isEmpty());
        FUZZ_CHECK(line.tag.isEmpty() || Tags().contains(line.tag));
        FUZZ_CHECK(!CheckReportName(line.name).contains('\n'));
        if (!line.name.isEmpty()) {
            CheckRoundTrip(line);
        }
    }
    return 0;
}
