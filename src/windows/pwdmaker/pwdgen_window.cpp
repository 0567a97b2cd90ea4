#include "windows/pwdmaker/pwdgen_window.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "storage/app_stores.h"
#include "storage/tool_state.h"
#include "tools/pwdmaker/recovery_key.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr const char* kToolKey = "PwdGen";
constexpr int kWindowWidth = 282;
constexpr int kWindowHeight = 306;
constexpr int kMasterMaxLength = 24;
constexpr int kMnemonicMaxLength = 64;
constexpr int kDefaultCheckIntervalMs = 2000;
const QColor kSilver(192, 192, 192);

// The check-timer interval of the panel's window, or its default when there is none.
int CheckIntervalMs(const TToolContext& context) {
    return context.panel != nullptr ? context.panel->CheckInterval() : kDefaultCheckIntervalMs;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(geometry);
    return edit;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int x, int y) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(x, y, 200, 16);
    return label;
}

// The recovery text in a small dialog, in the fixed font, selectable for copying.
void ShowRecoveryDialog(QWidget* parent, const QString& text) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Recovery Key"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* view = new QPlainTextEdit(text, &dialog);
    view->setObjectName(QStringLiteral("edtRecoveryKey"));
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setMinimumSize(420, 150);
    layout->addWidget(view);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.exec();
}

QFrame* MakeBevel(QWidget* parent, const char* name, int y) {
    auto* bevel = new QFrame(parent);
    bevel->setObjectName(QString::fromLatin1(name));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(8, y, kWindowWidth - 16, 2);
    return bevel;
}

}  // namespace

TfrmPwdGen::TfrmPwdGen(QWidget* panel, const TToolContext& context)
    : TFormBase(panel, context), m_clock(CheckIntervalMs(context)) {
    setFixedSize(kWindowWidth, kWindowHeight);
    pnlMain = new QWidget(this);
    pnlMain->setObjectName(QStringLiteral("pnlMain"));
    pnlMain->setGeometry(0, 0, kWindowWidth, kWindowHeight);

    ledMPwdLabel = MakeLabel(pnlMain, "ledMPwdLabel", QStringLiteral("Master Password"), 10, 6);
    ledMPwd = MakeEdit(pnlMain, "ledMPwd", QRect(10, 22, kWindowWidth - 20, 22));
    ledMPwd->setMaxLength(kMasterMaxLength);
    // Masked with "*" whatever the style's own choice.
    ledMPwd->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    ledMPwdLabel->setBuddy(ledMPwd);
    SetHint(ledMPwd, QStringLiteral("|Enter your master password"));
    ledNemoLabel = MakeLabel(pnlMain, "ledNemoLabel", QStringLiteral("Mnemonic"), 10, 50);
    ledNemo = MakeEdit(pnlMain, "ledNemo", QRect(10, 66, kWindowWidth - 20, 22));
    ledNemo->setMaxLength(kMnemonicMaxLength);
    ledNemoLabel->setBuddy(ledNemo);
    SetHint(ledNemo, QStringLiteral("Site Mnemonic|Keep the mnemonic simple: a web-site name "
                                    "such as amazon.com, or a mail service and account such "
                                    "as gmail jsmith"));
    // Neither input box offers a context menu (no copying the master password out).
    for (QLineEdit* input : {ledMPwd, ledNemo}) {
        input->setContextMenuPolicy(Qt::PreventContextMenu);
        input->installEventFilter(this);
        connect(input, &QLineEdit::returnPressed, this, [this] { btnGen->click(); });
    }

    bvlOne = MakeBevel(pnlMain, "bvlOne", 98);
    lblSugg = MakeLabel(pnlMain, "lblSugg", QStringLiteral("Suggested Passwords"), 10, 104);
    lblSugg->setFixedWidth(130);
    // The key's recovery text, beside the passwords that depend on it.
    btnKey = new QPushButton(QStringLiteral("Show recovery key"), pnlMain);
    btnKey->setObjectName(QStringLiteral("btnKey"));
    btnKey->setGeometry(kWindowWidth - 10 - 128, 100, 128, 20);
    SetHint(btnKey, QStringLiteral("|Show the installation key to write down: with the master "
                                   "password it brings every password back"));
    connect(btnKey, &QPushButton::clicked, this, &TfrmPwdGen::DoShowKey);
    ShowRecoveryText = [this](const QString& text) { ShowRecoveryDialog(this, text); };
    const QFont courier = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const char* names[kPasswordBoxes] = {"edtOne",  "edtTwo",  "edtThree",
                                         "edtFour", "edtFive", "edtSix"};
    QLineEdit** boxes[kPasswordBoxes] = {&edtOne, &edtTwo, &edtThree, &edtFour, &edtFive, &edtSix};
    const int columnWidth = (kWindowWidth - 30) / 2;
    for (int i = 0; i < kPasswordBoxes; ++i) {
        const int column = i / 3;
        const int row = i % 3;
        QLineEdit* box =
            MakeEdit(pnlMain, names[i],
                     QRect(10 + column * (columnWidth + 10), 122 + row * 26, columnWidth, 22));
        box->setFont(courier);
        QPalette silver = box->palette();
        silver.setColor(QPalette::Base, kSilver);
        box->setPalette(silver);
        box->setReadOnly(column == 0);
        SetHint(box, QStringLiteral("Click to copy|Click to copy to clipboard"));
        box->installEventFilter(this);
        *boxes[i] = box;
    }

    bvlTwo = MakeBevel(pnlMain, "bvlTwo", 204);
    lblClearAfter = MakeLabel(pnlMain, "lblClearAfter", QStringLiteral("Clear After"), 10, 214);
    lblClearAfter->setFixedWidth(80);
    cbClearAfter = new QComboBox(pnlMain);
    cbClearAfter->setObjectName(QStringLiteral("cbClearAfter"));
    cbClearAfter->setGeometry(92, 210, 130, 24);
    for (const char* name : kClearAfterNames) {
        cbClearAfter->addItem(QString::fromLatin1(name));
    }
    cbClearAfter->setCurrentIndex(kDefaultClearAfter);
    SetHint(cbClearAfter, QStringLiteral("|Sensitive data are cleared after specified period"));
    connect(cbClearAfter, &QComboBox::currentIndexChanged, this, &TfrmPwdGen::WhenCTChange);

    cbxRemPwd = new QCheckBox(QStringLiteral("Store Master Password"), pnlMain);
    cbxRemPwd->setObjectName(QStringLiteral("cbxRemPwd"));
    cbxRemPwd->setGeometry(10, 238, kWindowWidth - 20, 18);
    SetHint(cbxRemPwd, QStringLiteral("|Not recommended"));
    cbxMask = new QCheckBox(QStringLiteral("Mask Master Password"), pnlMain);
    cbxMask->setObjectName(QStringLiteral("cbxMask"));
    cbxMask->setGeometry(10, 257, kWindowWidth - 20, 18);
    cbxMask->setChecked(true);
    connect(cbxMask, &QCheckBox::toggled, this, &TfrmPwdGen::MaskMU);
    MaskMU();

    btnReSet = new QPushButton(QStringLiteral("Reset"), pnlMain);
    btnReSet->setObjectName(QStringLiteral("btnReSet"));
    btnReSet->setGeometry(kWindowWidth - 10 - 2 * 84, 278, 80, 24);
    connect(btnReSet, &QPushButton::clicked, this, &TfrmPwdGen::DoReSet);
    btnGen = new QPushButton(QStringLiteral("Generate"), pnlMain);
    btnGen->setObjectName(QStringLiteral("btnGen"));
    btnGen->setGeometry(kWindowWidth - 10 - 80, 278, 80, 24);
    btnGen->setDefault(true);
    SetHint(btnGen, QStringLiteral("|Generate passwords now"));
    connect(btnGen, &QPushButton::clicked, this, &TfrmPwdGen::DoGen);

    // Without the installation key no password could be made again later.
    m_installKey = Stores().GetInstallKey();
    btnGen->setEnabled(!m_installKey.isEmpty());
    btnKey->setEnabled(!m_installKey.isEmpty());
    m_clock.SetClearAfter(cbClearAfter->currentIndex());
}

std::array<QLineEdit*, kPasswordBoxes> TfrmPwdGen::PasswordBoxes() const {
    return {edtOne, edtTwo, edtThree, edtFour, edtFive, edtSix};
}

void TfrmPwdGen::LoadSettings() {
    const std::optional<QByteArray> stored = LoadToolText(Stores(), kToolKey);
    if (!stored) {
        return;
    }
    // Any field count but four gives the defaults, an empty master password included.
    const TPwdGenSettings settings = ParsePwdGenSettings(*stored);
    m_loading = true;
    cbClearAfter->setCurrentIndex(settings.clearAfter);
    m_clock.SetClearAfter(settings.clearAfter);
    cbxRemPwd->setChecked(settings.remember);
    cbxMask->setChecked(settings.mask);
    MaskMU();
    ledMPwd->setText(QString::fromLocal8Bit(settings.master));
    m_loading = false;
}

void TfrmPwdGen::SaveSettings() {
    TPwdGenSettings settings;
    settings.master = ledMPwd->text().toLocal8Bit();
    settings.clearAfter = cbClearAfter->currentIndex();
    settings.remember = cbxRemPwd->isChecked();
    settings.mask = cbxMask->isChecked();
    SaveToolText(Stores(), kToolKey, FormatPwdGenSettings(settings));
}

void TfrmPwdGen::PeriodicCheck() {
    if (m_clock.Tick()) {
        ClearSensitiveFields();
    }
}

void TfrmPwdGen::ClearSensitiveFields() {
    if (!cbxRemPwd->isChecked()) {
        ledMPwd->clear();
    }
    ledNemo->clear();
    for (QLineEdit* box : PasswordBoxes()) {
        box->clear();
    }
}

void TfrmPwdGen::DoGen() {
    m_clock.Restart();
    const QByteArray master = ledMPwd->text().toLocal8Bit();
    const QByteArray mnemonic = ledNemo->text().toLocal8Bit();
    try {
        const std::optional<TPasswords> passwords =
            GeneratePasswords(Host(), *Context().scripts, master, mnemonic, m_installKey);
        if (!passwords) {
            return;
        }
        const auto boxes = PasswordBoxes();
        for (int i = 0; i < kPasswordBoxes; ++i) {
            boxes[i]->setText(QString::fromLatin1((*passwords)[i]));
        }
    } catch (const EQuiva&) {
        // The refusal was shown as an error by FailWith; no box changes.
    }
}

void TfrmPwdGen::DoReSet() {
    ledMPwd->clear();
    cbxMask->setChecked(true);
    MaskMU();
    for (QLineEdit* box : PasswordBoxes()) {
        box->clear();
    }
    cbClearAfter->setCurrentIndex(kDefaultClearAfter);
    m_clock.SetClearAfter(kDefaultClearAfter);
    cbxRemPwd->setChecked(false);
    m_clock.Restart();
}

void TfrmPwdGen::DoShowKey() {
    m_clock.Restart();
    try {
        const QByteArray text = FormatRecoveryText(m_installKey) + '\n' + kRecoverySafeText;
        if (ShowRecoveryText) {
            ShowRecoveryText(QString::fromUtf8(text));
        }
    } catch (const EQuiva& error) {
        ShowStickyError(error.Message());
    }
}

void TfrmPwdGen::WhenClicked(QLineEdit* box) {
    m_clock.Restart();
    CopyTextToClipboard(box->text());
    if (THost* host = &Host()) {
        host->ShowStatus(QStringLiteral("Value copied to clipboard"), false, kStatusInfo);
    }
}

void TfrmPwdGen::WhenCTChange(int index) {
    m_clock.SetClearAfter(index);
    m_clock.Restart();
}

void TfrmPwdGen::MaskMU() {
    ledMPwd->setEchoMode(cbxMask->isChecked() ? QLineEdit::Password : QLineEdit::Normal);
}

bool TfrmPwdGen::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == ledMPwd || watched == ledNemo)) {
        m_clock.Restart();
    } else if (event->type() == QEvent::MouseButtonRelease) {
        auto* box = qobject_cast<QLineEdit*>(watched);
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const auto boxes = PasswordBoxes();
        if (box != nullptr && mouse->button() == Qt::LeftButton &&
            std::find(boxes.begin(), boxes.end(), box) != boxes.end() &&
            box->rect().contains(mouse->position().toPoint())) {
            WhenClicked(box);
        }
    }
    return TFormBase::eventFilter(watched, event);
}
