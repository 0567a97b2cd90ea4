#include "tools/dirtrack/track_help.h"

#include "base/host.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/native_name.h"
#include "storage/tool_state.h"

#include <QCoreApplication>
#include <QMetaObject>

TTrackHelp::TTrackHelp(THost& host, TAppStores& stores)
    : m_host(host), m_stores(stores), m_folder(WindowsFolder()) {}

TTrackHelp::~TTrackHelp() {
    Stop();
}

void TTrackHelp::Load() {
    const std::optional<TBarList> fields =
        LoadToolFields(m_stores, kTrackSettingsKey, kTrackSettingsFields);
    if (!fields) {
        return;
    }
    const QString folder = DecodeNativeName((*fields)[0]);
    m_folder = !folder.isEmpty() && IsFolder(folder) ? folder : QString();
    m_options = static_cast<quint16>(fields->Int(1, 0));
    m_clearAt = fields->Int(2, kTrackDefaultClearAt);
    if (m_folder.isEmpty()) {
        m_options &= static_cast<quint16>(~kTrackAutoStart);
    }
}

void TTrackHelp::Save() {
    if ((m_options & kTrackWhatBits) == 0) {
        m_options &= static_cast<quint16>(~kTrackAutoStart);
    }
    SaveToolFields(
        m_stores, kTrackSettingsKey,
        {EncodeNativeName(m_folder), QByteArray::number(m_options), QByteArray::number(m_clearAt)});
}

void TTrackHelp::Reset() {
    m_folder = WindowsFolder();
    m_options = kTrackDefaultOptions;
    m_clearAt = kTrackDefaultClearAt;
}

void TTrackHelp::StartAtLaunch() {
    Load();
    if ((m_options & kTrackAutoStart) == 0) {
        return;
    }
    try {
        Start();
    } catch (const std::exception&) {
        // Nothing to show it in yet; the window says why when Start is pressed.
    }
}

void TTrackHelp::Start() {
    Stop();
    TTrackStart start;
    start.folder = m_folder;
    start.options = m_options;
    start.clearAt = m_clearAt;
    start.logsFolder = m_host.LogsFolder();
    const QStringList ownFolders{m_host.ProgramFolder(), m_host.DataFolder(), m_host.LogsFolder()};
    start.excluded = ownFolders;
    start.watch = testWatchOptions;
    // A queued block wakes the main thread, whose idle handler then records it.
    start.wake = [] {
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app, [] {}, Qt::QueuedConnection);
        }
    };
    if (!m_folder.isEmpty() && IsFolder(m_folder) && TrackFilter(m_options) != 0) {
        RejectOwnFolders(m_folder, ownFolders);
    }
    m_tracker = std::make_unique<TWatcher>(&m_host, start);
}

void TTrackHelp::Stop() {
    if (!m_tracker) {
        return;
    }
    m_tracker->SaveAndStop();
    m_tracker.reset();
}

bool TTrackHelp::WhenIdle() {
    if (!m_tracker) {
        return false;
    }
    const bool done = m_tracker->Record();
    if (m_tracker->Failed()) {
        const QString reason = m_tracker->FailureText();
        Stop();
        m_host.ShowStatus(reason, false, kStatusError);
        return false;
    }
    return !done;
}
