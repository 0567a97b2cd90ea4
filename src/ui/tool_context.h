// What a tool window is given when it is made: the host, the program's services and the
// panel it is shown in. The program that makes the window owns all of them and keeps them
// alive while the window lives.
#pragma once

class TAppStores;
class TBackupService;
class THost;
class TScriptRunner;
class TToolPanel;
class TTrackHelp;

struct TToolContext {
    THost* host = nullptr;
    TAppStores* stores = nullptr;
    TScriptRunner* scripts = nullptr;
    TBackupService* backups = nullptr;
    TToolPanel* panel = nullptr;
    TTrackHelp* tracking = nullptr;  // DirTrack's tracking service (desktop program only)
};
