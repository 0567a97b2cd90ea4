// The Pwd Maker window: six site passwords from the master password, the site mnemonic and
// the installation key, with the sensitive fields cleared after a chosen idle time.
#pragma once

#include "tools/pwdmaker/pwd_maker.h"
#include "ui/form_base.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// Thread safety: main thread only; the idle clearing is driven by the main window's check
// timer through PeriodicCheck.
class TfrmPwdGen : public TFormBase {
    Q_OBJECT
public:
    TfrmPwdGen(QWidget* panel, const TToolContext& context);

    void LoadSettings() override;
    void SaveSettings() override;
    // One check-timer tick: counts idle time and, once the clear-after period has passed,
    // empties the mnemonic, the six passwords and (unless it is stored) the master password.
    void PeriodicCheck() override;

    // Generate: vets the master password with the script "pwdchk" and fills the six boxes.
    // An empty mnemonic or a refusal is shown as an error and changes no box.
    void DoGen();
    // Reset: master password, passwords and options back to their defaults; the mnemonic
    // stays.
    void DoReSet();
    // "Show recovery key": shows the installation key's recovery text and the advice to
    // keep it safe (through ShowRecoveryText).
    void DoShowKey();

    // Shows the recovery text (the key lines, then the advice); by default a dialog whose
    // text can be selected and copied. Tests replace it so that no modal dialog opens.
    std::function<void(const QString& text)> ShowRecoveryText;

    // The installation key taken at creation; empty when none could be had.
    const QByteArray& InstallKey() const { return m_installKey; }
    const TIdleClock& IdleClock() const { return m_clock; }
    // The six password boxes in order, edtOne .. edtSix.
    std::array<QLineEdit*, kPasswordBoxes> PasswordBoxes() const;

    QWidget* pnlMain = nullptr;
    QLineEdit* ledMPwd = nullptr;
    QLabel* ledMPwdLabel = nullptr;
    QLineEdit* ledNemo = nullptr;
    QLabel* ledNemoLabel = nullptr;
    QFrame* bvlOne = nullptr;
    QFrame* bvlTwo = nullptr;
    QLabel* lblSugg = nullptr;
    QLineEdit* edtOne = nullptr;
    QLineEdit* edtTwo = nullptr;
    QLineEdit* edtThree = nullptr;
    QLineEdit* edtFour = nullptr;
    QLineEdit* edtFive = nullptr;
    QLineEdit* edtSix = nullptr;
    QLabel* lblClearAfter = nullptr;
    QComboBox* cbClearAfter = nullptr;
    QCheckBox* cbxRemPwd = nullptr;
    QCheckBox* cbxMask = nullptr;
    QPushButton* btnReSet = nullptr;
    QPushButton* btnGen = nullptr;
    // "Show recovery key"; enabled exactly when the installation key is.
    QPushButton* btnKey = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A click on a password box: its text goes to the clipboard.
    void WhenClicked(QLineEdit* box);
    // The clear-after choice changed.
    void WhenCTChange(int index);
    // Shows the master password masked or plain as cbxMask says.
    void MaskMU();
    void ClearSensitiveFields();

    QByteArray m_installKey;
    TIdleClock m_clock;
};
