#include "shell/preferences_window.h"

#include "backup/backup_service.h"
#include "backup/profiles.h"
#include "base/errors.h"
#include "base/host.h"
#include "platform/folders.h"
#include "platform/native_name.h"
#include "script/script_runner.h"
#include "storage/app_stores.h"
#include "ui/ell_path.h"
#include "ui/window_parts.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kPreferencesWidth = 330;
constexpr int kPreferencesHeight = 416;
constexpr const char* kCurrentHint = "Default:vompa7|Defaut password is vompa7";
constexpr const char* kRunningRefusal =
    "Changes not permitted while DirTrack or Backup are running";

// A password edit: at most 12 characters, shown as "*" whatever the style's own choice.
QLineEdit* MakePasswordEdit(QWidget* parent, const char* name) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setMaxLength(TfrmUOpt::kPasswordLength);
    edit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    return edit;
}

// True when the backup service has a profile running.
bool BackupRunning(const TToolContext& context) {
    return context.backups != nullptr && context.backups->Profiles() != nullptr &&
           context.backups->Profiles()->ActiveCount() > 0;
}

}  // namespace

TfrmUOpt::TfrmUOpt(QWidget* panel, const TToolContext& context,
                   std::function<bool()> dirTrackRunning)
    : TFormBase(panel, context), m_dirTrackRunning(std::move(dirTrackRunning)) {
    setFixedSize(kPreferencesWidth, kPreferencesHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 12);
    logo = AddLogoPanel(this, layout);
    layout->addSpacing(8);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    lblDataDir = Named(new QLabel(QStringLiteral("Data Folder"), this), "lblDataDir");
    edtDir = Named(new TEllPath(this), "edtDir");
    edtDir->SetCaption(Host().DataFolder());
    sbnBrowse = Named(new QToolButton(this), "sbnBrowse");
    sbnBrowse->setText(QStringLiteral("..."));
    SetHint(sbnBrowse, QStringLiteral("Browse|Browe for folder"));
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(edtDir, 1);
    folderRow->addWidget(sbnBrowse);
    grid->addWidget(lblDataDir, 0, 0, 1, 2);
    grid->addLayout(folderRow, 1, 0, 1, 2);

    lblCPwd = Named(new QLabel(QStringLiteral("Current Password"), this), "lblCPwd");
    edtCPwd = MakePasswordEdit(this, "edtCPwd");
    lblCPwd->setBuddy(edtCPwd);
    lblNPwd = Named(new QLabel(QStringLiteral("New Password"), this), "lblNPwd");
    edtNPwd = MakePasswordEdit(this, "edtNPwd");
    lblNPwd->setBuddy(edtNPwd);
    SetHint(edtNPwd,
            QStringLiteral(
                "|Password should be alphanumeric - 7+ characters with at least one numeral"));
    grid->addWidget(lblCPwd, 2, 0);
    grid->addWidget(edtCPwd, 2, 1);
    grid->addWidget(lblNPwd, 3, 0);
    grid->addWidget(edtNPwd, 3, 1);
    cbxMask = Named(new QCheckBox(QStringLiteral("Mask Passwords"), this), "cbxMask");
    cbxMask->setChecked(true);
    grid->addWidget(cbxMask, 4, 0, 1, 2);
    btnPwd = Named(new QPushButton(QStringLiteral("Change Password"), this), "btnPwd");
    grid->addWidget(btnPwd, 5, 1, Qt::AlignRight);
    layout->addLayout(grid);
    layout->addStretch(1);

    AskDataFolder = [this] { return PickFolder(QStringLiteral("Select Data Folder"), QString()); };
    connect(sbnBrowse, &QToolButton::clicked, this, &TfrmUOpt::DoBrowse);
    connect(btnPwd, &QPushButton::clicked, this, &TfrmUOpt::DoChangePwd);
    connect(cbxMask, &QCheckBox::toggled, this, &TfrmUOpt::MaskMU);
    MaskMU();
    UpdateCurrentHint();
}

std::optional<QByteArray> TfrmUOpt::PasswordBytes(const QString& text) {
    QStringEncoder encoder(QStringEncoder::System, QStringEncoder::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError()) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
    const QString back = decoder.decode(bytes);
    if (decoder.hasError() || back != text) {
        return std::nullopt;
    }
    return bytes;
}

void TfrmUOpt::MaskMU() {
    const QLineEdit::EchoMode mode = cbxMask->isChecked() ? QLineEdit::Password : QLineEdit::Normal;
    edtCPwd->setEchoMode(mode);
    edtNPwd->setEchoMode(mode);
}

void TfrmUOpt::UpdateCurrentHint() {
    const bool isDefault = Stores().PreferencesPassword() == TAppStores::kDefaultPassword;
    SetHint(edtCPwd, isDefault ? QString::fromLatin1(kCurrentHint) : QString());
}

void TfrmUOpt::ShowError(const QString& text) {
    Host().ShowStatus(text, false, kStatusError);
}

bool TfrmUOpt::RefuseChange(bool dirTrackMatters) {
    if ((dirTrackMatters && m_dirTrackRunning && m_dirTrackRunning()) || BackupRunning(Context())) {
        ShowError(QString::fromLatin1(kRunningRefusal));
        return true;
    }
    // A change that could not be stored would quietly come undone at the next start.
    if (!Host().IsFlagSet(kFlagUiDatabase) || !Stores().Writable()) {
        ShowError(QStringLiteral(
            "Preferences cannot be changed: the application database cannot be written"));
        return true;
    }
    return false;
}

void TfrmUOpt::DoBrowse() {
    if (RefuseChange(true)) {
        return;
    }
    const std::optional<QString> picked = AskDataFolder ? AskDataFolder() : std::nullopt;
    if (!picked) {
        return;
    }
    if (!FolderExists(*picked)) {
        ShowError(QStringLiteral("Folder not found: %1").arg(PrintableName(*picked)));
        return;
    }
    QString folder = *picked;
    if (!folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    // The shell state keeps the folder as a UTF-8 field ended by "|".
    if (folder.contains(QLatin1Char('|')) || HasRawBytes(folder)) {
        ShowError(QStringLiteral("%1 cannot be the data folder: its name cannot be stored")
                      .arg(PrintableName(folder)));
        return;
    }
    const QString previous = Host().DataFolder();
    if (folder == previous || Context().backups == nullptr) {
        edtDir->SetCaption(previous);
        return;
    }
    Context().backups->SetDataFolder(folder);
    if (!Stores().SaveShellState()) {
        // What is in force stays what the next start will find.
        Context().backups->SetDataFolder(previous);
        (void)Stores().SaveShellState();
        ShowError(QStringLiteral("The data folder could not be stored; it was not changed"));
    }
    edtDir->SetCaption(Host().DataFolder());
}

void TfrmUOpt::DoChangePwd() {
    const QByteArray inForce = Stores().PreferencesPassword();
    const std::optional<QByteArray> current = PasswordBytes(edtCPwd->text());
    if (!current || *current != inForce) {
        ShowError(QStringLiteral("Current password does not match"));
        return;
    }
    if (edtNPwd->text().isEmpty()) {
        ShowError(QStringLiteral("New password cannot be empty"));
        return;
    }
    const std::optional<QByteArray> typed = PasswordBytes(edtNPwd->text());
    if (!typed) {
        ShowError(QStringLiteral("The new password holds a character that cannot be stored"));
        return;
    }
    if (*typed == *current) {
        ShowError(QStringLiteral("The new password must be different!"));
        return;
    }
    // A running backup keeps the key it started with: versions it made after a change
    // would need the old password.
    if (RefuseChange(false)) {
        return;
    }
    QByteArray value = *typed;
    QByteArray error;
    try {
        if (Context().scripts == nullptr) {
            Host().FailWith("FS_PHPE. Please contact us");
        }
        Context().scripts->RunScript("pwdchk", "pwd", value, error);
        Host().FailWith(error);
    } catch (const EQuiva&) {
        return;  // shown by FailWith
    }
    // The script may change the value; what it leaves must still fit the edits.
    const QString shown = QString::fromLocal8Bit(value);
    if (value.isEmpty() || shown.size() > kPasswordLength) {
        ShowError(QStringLiteral("The password checked cannot be used: it must have 1 to %1 "
                                 "characters")
                      .arg(kPasswordLength));
        return;
    }
    Stores().SetPreferencesPassword(value);
    if (!Stores().SaveShellState()) {
        Stores().SetPreferencesPassword(inForce);
        (void)Stores().SaveShellState();
        ShowError(QStringLiteral("The password could not be stored; it was not changed"));
        return;
    }
    UpdateCurrentHint();
    Host().ShowStatus(QStringLiteral("Password is now %1").arg(shown), false, kStatusNotice);
}
