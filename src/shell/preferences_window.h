// The user preferences window: the data folder (where backups.db lives) and the
// preferences password, from which the backups' data key is made. What it changes takes
// effect at once and is stored at once.
#pragma once

#include "shell/logo_panel.h"
#include "ui/form_base.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class TEllPath;

// Thread safety: main thread only.
class TfrmUOpt : public TFormBase {
    Q_OBJECT
public:
    // `dirTrackRunning` tells whether DirTrack is tracking (without it, it never is).
    TfrmUOpt(QWidget* panel, const TToolContext& context,
             std::function<bool()> dirTrackRunning = {});

    // "...": unless DirTrack or a backup profile runs, moves the data folder to a folder the
    // user picks and reopens backups.db there; the shell state is stored at once. Refusals
    // are shown as errors and change nothing.
    void DoBrowse();
    // "Change Password": checks the current password, vets the new one with the script
    // "pwdchk", then puts the password (as the script left it) in force with its hash and
    // stores the shell state at once. Refusals are shown as errors and change nothing.
    void DoChangePwd();

    // The folder browser of DoBrowse; tests replace it.
    std::function<std::optional<QString>()> AskDataFolder;

    // The most characters a password edit holds.
    static constexpr int kPasswordLength = 12;

    // The 8-bit form of a password typed (the local 8-bit encoding), or none when a
    // character of it cannot be held there unchanged.
    static std::optional<QByteArray> PasswordBytes(const QString& text);

    TLogoPanel logo;
    QLabel* lblDataDir = nullptr;
    TEllPath* edtDir = nullptr;
    QToolButton* sbnBrowse = nullptr;
    QLabel* lblCPwd = nullptr;
    QLineEdit* edtCPwd = nullptr;
    QLabel* lblNPwd = nullptr;
    QLineEdit* edtNPwd = nullptr;
    QCheckBox* cbxMask = nullptr;
    QPushButton* btnPwd = nullptr;

private:
    // Both edits show "*" for each character while cbxMask is checked.
    void MaskMU();
    // The hint naming the default password shows only while the default is in force.
    void UpdateCurrentHint();
    // Shows why nothing may change now and returns true: a backup profile runs (or DirTrack
    // tracks, when it matters), or the change could not be stored. False otherwise.
    bool RefuseChange(bool dirTrackMatters);
    void ShowError(const QString& text);

    std::function<bool()> m_dirTrackRunning;
};
