#include "ui/form_base.h"

#include "base/errors.h"
#include "base/host.h"
#include "base/settings_codec.h"
#include "base/utilities.h"
#include "platform/file_system.h"
#include "platform/file_utilities.h"
#include "platform/folders.h"
#include "storage/tool_state.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QUrl>

namespace {

constexpr const char* kHelpContextProperty = "quivaHelpContext";
constexpr const char* kHiddenHintProperty = "quivaHiddenHint";

QList<QWidget*> ChildWidgets(const QWidget* parent) {
    return parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
}

}  // namespace

TFormBase::TFormBase(QWidget* panel, const TToolContext& context)
    : QWidget(panel), m_context(context) {
    PathSlots[0] = WindowsFolder();
    PathSlots[1] = WindowsFolder();
}

TFormBase::~TFormBase() = default;

void TFormBase::WheelStep(bool /*forward*/, const QPoint& /*position*/) {}

void TFormBase::PlaceInPanel(QWidget* panel) {
    setParent(panel);
    move(0, 0);
    show();
    FitMainWindow(true);
}

void TFormBase::FitMainWindow(bool adjustHeight) {
    if (TToolPanel* panel = Panel()) {
        panel->FitToWindow(this, adjustHeight);
    }
}

void TFormBase::AfterConstruction() {
    if (m_context.host != nullptr && m_context.host->IsFlagSet(kFlagScriptEngine)) {
        LoadSettings();
    }
}

void TFormBase::BeforeDestruction() {
    if (m_context.host != nullptr && m_context.host->IsFlagSet(kFlagScriptEngine)) {
        SaveSettings();
    }
}

void TFormBase::DisableAndRemember() {
    m_remembered.clear();
    // Depth first, parents before their children. A control's own enabled flag is what is
    // remembered, not the state it shows because a parent is disabled.
    std::function<void(QWidget*)> walk = [&](QWidget* parent) {
        for (QWidget* child : ChildWidgets(parent)) {
            if (child->isWindow()) {
                continue;
            }
            m_remembered.append({!child->testAttribute(Qt::WA_ForceDisabled), child});
            child->setEnabled(false);
            walk(child);
        }
    };
    walk(this);
}

void TFormBase::RestoreEnabled() {
    const auto remembered = std::exchange(m_remembered, {});
    for (const auto& [enabled, widget] : remembered) {
        if (widget) {
            widget->setEnabled(enabled);
        }
    }
}

void TFormBase::SetFolderFromUtf8(int index, const QByteArray& utf8) {
    const QString folder = QString::fromUtf8(utf8);
    if (FolderExists(folder)) {
        PathSlots[index] = folder;
    }
}

void TFormBase::EndWithError(const QString& message, const QString& partialFile) {
    if (!partialFile.isEmpty()) {
        (void)RemoveFile(partialFile);
    }
    if (TToolPanel* panel = Panel()) {
        panel->EndBusy(message, kBusyHold, kStatusError);
    }
}

void TFormBase::RunBusy(const QString& busyText, const QString& doneText,
                        const std::function<void()>& action) {
    TToolPanel* panel = Panel();
    if (panel != nullptr) {
        panel->BeginBusy(busyText, kBusyHold, kStatusInfo);
    }
    try {
        action();
        if (panel != nullptr) {
            panel->EndBusy(doneText, kBusyFade, kStatusCompletion);
        }
    } catch (const EQuiva& error) {
        EndWithError(error.Message());
    } catch (const std::exception& error) {
        EndWithError(QString::fromLocal8Bit(error.what()));
    }
}

void TFormBase::ShowProgress(const QString& text) {
    if (m_context.host != nullptr) {
        m_context.host->ShowStatus(text, false, kStatusInfo);
    }
}

void TFormBase::ShowStickyError(const QString& message) {
    if (m_context.host != nullptr) {
        m_context.host->ShowStatus(message, true, kStatusError);
    }
}

void TFormBase::SaveFields(const QByteArray& key, const QList<QByteArray>& fields) {
    if (m_context.stores != nullptr) {
        SaveToolFields(*m_context.stores, key, fields);
    }
}

std::optional<TBarList> TFormBase::LoadFields(const QByteArray& key, qsizetype count) {
    if (m_context.stores == nullptr) {
        return std::nullopt;
    }
    return LoadToolFields(*m_context.stores, key, count);
}

void TFormBase::CopyTextToClipboard(const QString& text) {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->setText(text);
    }
}

std::optional<QString> TFormBase::PickFolder(const QString& title, const QString& preselected) {
    const QString start = QFileInfo(preselected).isDir() ? preselected : QString();
    QString folder =
        QFileDialog::getExistingDirectory(this, title, start, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    while (folder.size() > 1 && folder.endsWith('/')) {
        folder.chop(1);
    }
    return folder;
}

bool TFormBase::ConfirmYesNo(const QString& text, int helpContext) {
    QMessageBox box(QMessageBox::Question, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setProperty(kHelpContextProperty, helpContext);
    // Every such question asks before something is destroyed: Enter must not say yes.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool TFormBase::ShellOpen(const QString& target) {
    const QUrl url =
        QFileInfo::exists(target) ? QUrl::fromLocalFile(target) : QUrl::fromUserInput(target);
    return !QDesktopServices::openUrl(url);
}

void ApplyHelpContext(QWidget* widget, int helpContext) {
    widget->setProperty(kHelpContextProperty, helpContext);
    for (QWidget* child : widget->findChildren<QWidget*>()) {
        child->setProperty(kHelpContextProperty, helpContext);
    }
}

int HelpContextOf(const QWidget* widget) {
    return widget ? widget->property(kHelpContextProperty).toInt() : 0;
}

void SetChildrenEnabled(QWidget* container, bool enabled) {
    for (QWidget* child : ChildWidgets(container)) {
        child->setEnabled(enabled);
        const QList<QWidget*> grandChildren = ChildWidgets(child);
        if (grandChildren.isEmpty()) {
            continue;
        }
        SetChildrenEnabled(child, enabled);
        for (QWidget* leaf : grandChildren) {
            if (!ChildWidgets(leaf).isEmpty()) {
                continue;
            }
            if (!enabled && !leaf->toolTip().isEmpty()) {
                leaf->setProperty(kHiddenHintProperty, leaf->toolTip());
                leaf->setToolTip(QString());
            } else if (enabled && leaf->property(kHiddenHintProperty).isValid()) {
                leaf->setToolTip(leaf->property(kHiddenHintProperty).toString());
                leaf->setProperty(kHiddenHintProperty, QVariant());
            }
        }
    }
}

void SetHint(QWidget* widget, const QString& hint) {
    const qsizetype bar = hint.indexOf('|');
    widget->setToolTip(bar < 0 ? hint : hint.left(bar));
    widget->setStatusTip(bar < 0 ? hint : hint.mid(bar + 1));
}

void LoadLogo(QLabel* image) {
    const QPixmap logo(QStringLiteral(":/shell/logoimg.png"));
    if (!logo.isNull()) {
        image->setPixmap(logo);
    }
}
