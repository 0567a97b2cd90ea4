#include "support/test_host.h"

TTestHost::TTestHost() { SetHost(this); }

TTestHost::~TTestHost() {
    CloseStores();
    if (Host() == this) {
        SetHost(nullptr);
    }
}

void TTestHost::ShowStatus(const QString& text, bool hold, int kind) {
    statuses.append({text, hold, kind});
}

bool TTestHost::HasError(const QString& text) const {
    for (const TRecordedStatus& status : statuses) {
        if (status.kind == kStatusError && status.text == text) {
            return true;
        }
    }
    return false;
}
