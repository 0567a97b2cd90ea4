#include "cli/cli_host.h"

#include "base/file_error.h"
#include "platform/folders.h"
#include "platform/native_name.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstdio>

TCliHost::TCliHost()
    : m_stores(*this),
      m_scripts(*this, [this](const QByteArray& name) { return m_stores.FetchScript(name); }),
      m_backups(*this, m_stores) {
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
    // Standard output's lines first, so that a terminal shows both in order.
    std::fflush(stdout);
    // A file name in the text goes out with the bytes it has on disk.
    const QByteArray bytes = EncodeNativeName(text);
    if (kind == kStatusError && m_command != nullptr) {
        const QByteArray prefix = QByteArray("quiva ") + m_command + ": ";
        if (!bytes.startsWith(prefix)) {
            std::fputs(prefix.constData(), stderr);
        }
    }
    std::fprintf(stderr, "%s\n", bytes.constData());
}

void TCliHost::ShowError(const EQuiva& error) {
    QString text = error.Message();
    if (const auto* fileError = dynamic_cast<const EFileError*>(&error)) {
        const QString file = PrintableName(fileError->File());
        if (!file.isEmpty() && !text.contains(file)) {
            text = file + QStringLiteral(": ") + text;
        }
        if (!fileError->Reason().isEmpty()) {
            text += QStringLiteral(": ") + fileError->Reason();
        }
    }
    ShowStatus(text, true, kStatusError);
}

void TCliHost::OpenProgramStores(TStoreOptions options) {
    if (m_opened && options.backups == m_options.backups &&
        options.writable == m_options.writable &&
        options.backupsReadOnly == m_options.backupsReadOnly) {
        return;
    }
    CloseStores();
    m_opened = true;
    m_options = options;
    m_stores.Open(DefaultProgramFolder(), {.writable = options.writable});
    if (options.backups) {
        m_backups.Open(options.backupsReadOnly);
    }
}

void TCliHost::CloseStores() {
    if (!m_opened) {
        return;
    }
    m_opened = false;
    m_backups.StopProfiles();
    m_stores.Close(false);
    m_backups.Close(false);
}

bool TCliHost::LockProgramData() {
    if (m_lock && m_lock->Held()) {
        return true;
    }
    const QString folder = DefaultProgramFolder();
    (void)MakePrivateFolder(folder);
    m_lock = std::make_unique<TInstanceLock>(TInstanceLock::PathIn(folder));
    if (!m_lock->TryAcquire()) {
        return false;
    }
    // The command as it was typed, up to its action ("quiva backup run"), for a second
    // command refused meanwhile to name.
    // Most commands run without an application object: the arguments come from the kernel.
    QStringList arguments;
    if (QCoreApplication::instance() != nullptr) {
        arguments = QCoreApplication::arguments();
    } else if (QFile cmdline(QStringLiteral("/proc/self/cmdline"));
               cmdline.open(QIODevice::ReadOnly)) {
        for (const QByteArray& part : cmdline.readAll().split('\0')) {
            arguments << QString::fromLocal8Bit(part);
        }
    }
    QByteArray holder = "quiva";
    for (qsizetype i = 1; i < std::min<qsizetype>(arguments.size(), 3); ++i) {
        if (arguments[i].startsWith('-')) {
            break;
        }
        holder += ' ' + arguments[i].toLatin1();
    }
    m_lock->SetHolder(holder);
    return true;
}

QString TCliHost::RunningText(const char* command) const {
    const QByteArray holder = m_lock ? m_lock->Holder() : QByteArray();
    if (holder.startsWith("quiva")) {
        return QStringLiteral("%1 is running; wait for it to end before using quiva %2")
            .arg(QString::fromLatin1(holder), QLatin1String(command));
    }
    return QStringLiteral("Quiva Tessaline is running; close it before using quiva %1")
        .arg(QLatin1String(command));
}
