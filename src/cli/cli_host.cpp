#include "cli/cli_host.h"

#include "platform/folders.h"
#include "platform/native_name.h"

#include <cstdio>

TCliHost::TCliHost() {
    SetHost(this);
}

TCliHost::~TCliHost() {
    CloseStores();
    m_lock.reset();
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

void TCliHost::OpenProgramStores(TStoreOptions options) {
    if (m_opened && options.backups == m_options.backups &&
        options.writable == m_options.writable) {
        return;
    }
    if (m_opened) {
        CloseStores();
    }
    m_opened = true;
    m_options = options;
    SetCompactOnClose(false);
    OpenStores(DefaultProgramFolder(), options);
}

bool TCliHost::LockProgramData() {
    if (m_lock && m_lock->Held()) {
        return true;
    }
    const QString folder = DefaultProgramFolder();
    (void)MakePrivateFolder(folder);
    m_lock = std::make_unique<TInstanceLock>(TInstanceLock::PathIn(folder));
    return m_lock->TryAcquire();
}

QString TCliHost::RunningText(const char* command) {
    return QStringLiteral("Quiva Tessaline is running; close it before using quiva %1")
        .arg(QLatin1String(command));
}
