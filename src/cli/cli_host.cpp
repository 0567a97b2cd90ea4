#include "cli/cli_host.h"

#include "platform/folders.h"
#include "platform/native_name.h"

#include <cstdio>

TCliHost::TCliHost() { SetHost(this); }

TCliHost::~TCliHost() {
    CloseStores();
    if (Host() == this) {
        SetHost(nullptr);
    }
}

void TCliHost::ShowStatus(const QString& text, bool /*hold*/, int kind) {
    if (text.isEmpty() || (!m_verbose && kind < kStatusNotice)) {
        return;
    }
    // A file name in the text goes out with the bytes it has on disk.
    std::fprintf(stderr, "%s\n", EncodeNativeName(text).constData());
}

void TCliHost::OpenProgramStores() {
    if (m_opened) {
        return;
    }
    m_opened = true;
    OpenStores(DefaultProgramFolder());
    StartScriptEngine();
}
