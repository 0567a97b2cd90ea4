// Fuzz target: the profile blob reader. A host with its stores in a temporary folder is
// made once; each input is read as a profile blob, and a blob that reads is written out
// and read again, which must give the same blob (texts past the blob's length fields
// are cut on writing, so the check holds for blobs short of that).
#include "fuzz_target.h"

#include "backup/profile.h"
#include "backup/profiles.h"
#include "base/errors.h"
#include "support/test_dir.h"
#include "support/test_host.h"

#include <QByteArray>
#include <QCoreApplication>

#include <memory>

namespace {

// The folder first: the host closes its stores in it before it goes.
struct TFuzzHost {
    TFuzzHost() {
        host.OpenStores(dir.Sub("prog"));
        host.StartProfiles(false);
    }
    TestDir dir;
    TTestHost host;
};

TProfiles* g_list = nullptr;

// A written blob this short has no list text that writing had to cut.
constexpr qsizetype kUncutBlob = kProfileBlobHeader + 2 * kLongestListText;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    static TFuzzHost fuzzHost;
    g_list = fuzzHost.host.Profiles();
    FUZZ_CHECK(g_list != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray blob =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::unique_ptr<TProfile> profile = TProfile::FromBlob(*g_list, blob);
    if (!profile) {
        return 0;
    }
    const QByteArray written = profile->WriteProfileBlob();
    const std::unique_ptr<TProfile> again = TProfile::FromBlob(*g_list, written);
    FUZZ_CHECK(again != nullptr);
    if (written.size() < kUncutBlob) {
        FUZZ_CHECK(again->WriteProfileBlob() == written);
    }
    // The masks read from the blob drive the selection rules.
    again->MayDiscard(QStringLiteral("/folder/Report.doc"));
    return 0;
}
