// DirTrack's tracking service: the tracking settings for the whole program run (folder,
// options, clear-at), kept under the tool key "DirTrack", and the one running tracker. The
// desktop program owns it for its whole run, so that tracking goes on while other tools are
// shown; its window reaches it through the tool context.
#pragma once

#include "tools/dirtrack/watcher.h"

#include <QString>

#include <memory>

class TAppStores;
class THost;

inline constexpr const char* kTrackSettingsKey = "DirTrack";
inline constexpr int kTrackSettingsFields = 3;

// Thread safety: main thread only (the tracker's waiting thread is its own business).
class TTrackHelp {
public:
    // The defaults: the home folder, only "Name Changes", clear-at 100. Nothing is read yet.
    TTrackHelp(THost& host, TAppStores& stores);
    // Saves (with Auto Save) and stops a running tracker.
    ~TTrackHelp();
    TTrackHelp(const TTrackHelp&) = delete;
    TTrackHelp& operator=(const TTrackHelp&) = delete;

    // ---- settings ----------------------------------------------------------------------
    QString Folder() const { return m_folder; }
    quint16 Options() const { return m_options; }
    int ClearAt() const { return m_clearAt; }
    void SetFolder(const QString& folder) { m_folder = folder; }
    void SetOptions(quint16 options) { m_options = options; }
    void SetClearAt(int clearAt) { m_clearAt = clearAt; }

    // Reads the stored settings: with exactly 3 fields, the folder (only when it still
    // exists, else empty), the options (0 when not a number) and clear-at (100 when not a
    // number); Auto Start is cleared when the folder is empty. Without a stored text the
    // settings stay as they are.
    void Load();
    // Stores the settings; Auto Start is cleared first unless something is tracked.
    void Save();
    // Back to the defaults (nothing is stored).
    void Reset();

    // ---- tracking ---------------------------------------------------------------------
    // At program start: loads the settings and, with Auto Start, starts tracking; a start
    // that fails is ignored.
    void StartAtLaunch();
    // Starts tracking with the settings. Raises EQuiva: kTrackNoFolderMessage,
    // kTrackNothingMessage, the program's own folders refused, or why the folder cannot be
    // watched. A failed start leaves no tracker.
    void Start();
    // Saves the record with Auto Save and stops the tracker; nothing when none runs.
    void Stop();
    // The running tracker, or nullptr.
    TWatcher* Tracker() const { return m_tracker.get(); }
    bool Tracking() const { return m_tracker != nullptr; }

    // The idle step: records one queued block. When watching cannot go on, the reason is
    // shown as an error and tracking stops. True while more blocks wait.
    bool WhenIdle();

    // For tests: limits and the overflow seam handed to the folder watcher.
    TFolderWatcher::TOptions testWatchOptions;

private:
    THost& m_host;
    TAppStores& m_stores;
    QString m_folder;
    quint16 m_options = kTrackDefaultOptions;
    int m_clearAt = kTrackDefaultClearAt;
    std::unique_ptr<TWatcher> m_tracker;
};
