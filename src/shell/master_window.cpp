#include "shell/master_window.h"

#include "net/win_wrap.h"
#include "platform/file_system.h"
#include "shell/about_window.h"
#include "shell/application.h"
#include "shell/help_viewer.h"
#include "shell/preferences_window.h"
#include "shell/status_panel.h"
#include "shell/version_window.h"
#include "shell/welcome_window.h"
#include "ui/form_base.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace {

constexpr int kToolboxWidth = 135;
constexpr int kFadeIntervalMs = 400;
constexpr int kCheckIntervalMs = 2000;
constexpr qint64 kErrorHoldMs = 3000;
constexpr qint64 kSpaceCheckIntervalMs = 1000;
constexpr int kIndexRole = Qt::UserRole;
// A window's own size, the smallest it is shown at (see FitToWindow).
constexpr const char* kDesignSizeProperty = "quivaDesignSize";

// Enter and Space on a tool node of the tree pick the tool, as a click does.
class TTreeKeys : public QObject {
public:
    TTreeKeys(QTreeWidget* tree, std::function<void(QTreeWidgetItem*)> pick)
        : QObject(tree), m_tree(tree), m_pick(std::move(pick)) {
        tree->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != m_tree || event->type() != QEvent::KeyPress) {
            return false;
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool picks = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                           key->key() == Qt::Key_Space;
        QTreeWidgetItem* item = m_tree->currentItem();
        if (!picks || key->isAutoRepeat() ||
            (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier || item == nullptr ||
            item->data(0, kIndexRole).toInt() < 0) {
            return false;
        }
        m_pick(item);
        return true;
    }

private:
    QTreeWidget* m_tree;
    std::function<void(QTreeWidgetItem*)> m_pick;
};

}  // namespace

TToolFactory TMaster::WelcomeFactory = &CreateTool<TfrmBareSplash>;

TMaster* Master() {
    return dynamic_cast<TMaster*>(Host());
}

TMaster::TMaster(const QString& programFolder, TToolTable tools, QWidget* parent)
    : QMainWindow(parent),
      m_tools(std::move(tools)),
      m_stores(*this),
      m_scripts(*this, [this](const QByteArray& name) { return m_stores.FetchScript(name); }),
      m_backups(*this, m_stores),
      m_tracking(*this, m_stores) {
    Tick = [] { return QDateTime::currentMSecsSinceEpoch(); };
    setWindowTitle(QStringLiteral("Quiva Tessaline"));
    setWindowIcon(QIcon(QStringLiteral(":/shell/logoimg.png")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    SetHost(this);
    QPalette face = palette();
    face.setColor(QPalette::Window, QColor(235, 235, 235));
    setPalette(face);

    auto* central = new QWidget(this);
    auto* layout = new QHBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    tvQV = new QTreeWidget(central);
    tvQV->setObjectName(QStringLiteral("tvQV"));
    pnlTool = new QWidget(central);
    pnlTool->setObjectName(QStringLiteral("pnlTool"));
    layout->addWidget(tvQV);
    layout->addWidget(pnlTool, 1);
    setCentralWidget(central);
    // The shown window fills the panel, which grows with the main window.
    auto* panelLayout = new QVBoxLayout(pnlTool);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->setSpacing(0);
    pnlTool->setMinimumSize(332, 281);

    m_status = new TStatusPanel(this);
    m_status->setObjectName(QStringLiteral("sbQV"));
    statusBar()->addWidget(m_status, 1);
    statusBar()->setSizeGripEnabled(true);
    statusBar()->setFixedHeight(19 + 4);

    BuildTree();
    BuildMenus();

    tmrQV = new QTimer(this);
    tmrQV->setInterval(kFadeIntervalMs);
    connect(tmrQV, &QTimer::timeout, this, &TMaster::WhenTime);
    tmrCheck = new QTimer(this);
    tmrCheck->setInterval(kCheckIntervalMs);
    connect(tmrCheck, &QTimer::timeout, this, [this] {
        if (m_current) {
            m_current->PeriodicCheck();
        }
    });
    tmrCheck->start();

    BuildTray();

    m_stores.Open(programFolder);
    m_backups.Open();
    m_savedInterval = tmrCheck->interval();
    m_scripts.Start();
    m_tracking.StartAtLaunch();

    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TMaster::WhenIdle);
    }
    ApplyHelpContext(this, kHelpMain);

    // Last step of start-up: the profile list loads every profile and starts those marked
    // to start by themselves.
    m_backups.StartProfiles(true);
}

TMaster::~TMaster() {
    m_closing = true;
    tmrQV->stop();
    tmrCheck->stop();
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        disconnect(dispatcher, nullptr, this, nullptr);
    }
    // The shown window goes first, so its settings are saved while the stores are open.
    FreeCurrentWindow();
    m_tracking.Stop();
    // Only the desktop program compacts the databases, at its end.
    m_backups.StopProfiles();
    m_stores.Close(true);
    m_backups.Close(true);
    if (m_tray != nullptr) {
        m_tray->hide();
    }
    CloseHelpViewer();
    if (Host() == this) {
        SetHost(nullptr);
    }
}

// ---- building ------------------------------------------------------------------------

void TMaster::BuildTree() {
    tvQV->setFixedWidth(kToolboxWidth);
    tvQV->setHeaderHidden(true);
    tvQV->setIndentation(19);
    tvQV->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tvQV->setStyleSheet(
        QStringLiteral("QTreeWidget { background: rgb(130, 130, 130); color: white; }"));
    SetHint(tvQV, QStringLiteral("Select tool|Expand relevant tool node and select a tool"));
    QMap<QString, QTreeWidgetItem*> categories;
    for (const TToolEntry& entry : m_tools) {
        const QString category = QString::fromLatin1(entry.category);
        QTreeWidgetItem*& node = categories[category];
        if (node == nullptr) {
            node = new QTreeWidgetItem(tvQV, QStringList(category));
            node->setData(0, kIndexRole, -1);
        }
        auto* tool = new QTreeWidgetItem(node, QStringList(QString::fromLatin1(entry.nodeText)));
        tool->setData(0, kIndexRole, entry.index);
    }
    tvQV->setSortingEnabled(true);
    tvQV->sortItems(0, Qt::AscendingOrder);
    connect(tvQV, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { ToolSelect(item); });
    connect(tvQV, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { ToolSelect(item); });
    new TTreeKeys(tvQV, [this](QTreeWidgetItem* item) { ToolSelect(item); });
}

void TMaster::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* exit = file->addAction(QStringLiteral("E&xit"), this, &TMaster::DoQuit);
    exit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    exit->setStatusTip(QStringLiteral("Terminate Quiva"));
    // Exit stays usable while busy: it stops the work as closing the window does.
    exit->setProperty(kStaysWhileBusyProperty, true);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    mnuShowToolbox =
        view->addAction(QStringLiteral("Show Toolbox"), this, &TMaster::ShowHideToolBox);
    mnuShowToolbox->setCheckable(true);
    mnuShowToolbox->setChecked(true);
    mnuShowToolbox->setStatusTip(QStringLiteral("Show/Hide Toolbox"));
    mnuShowToolbox->setProperty(kStaysWhileBusyProperty, true);

    QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
    options->addAction(QStringLiteral("&User Preferences"), this, &TMaster::DoEditUP);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* helpItem = help->addAction(QStringLiteral("&Help"), this, &TMaster::WhenHelp);
    helpItem->setShortcut(QKeySequence(Qt::Key_F1));
    helpItem->setShortcutContext(Qt::ApplicationShortcut);
    helpItem->setProperty(kStaysWhileBusyProperty, true);
    help->addSeparator();
    help->addAction(QStringLiteral("Check Current &Version"), this, &TMaster::DoCheckVer);
    help->addAction(QStringLiteral("&About"), this, &TMaster::DoShowAbout);
}

void TMaster::LockMenus(bool locked) {
    if (locked == m_menusLocked) {
        return;
    }
    m_menusLocked = locked;
    if (!locked) {
        for (const QPointer<QAction>& action : std::exchange(m_lockedActions, {})) {
            if (action) {
                action->setEnabled(true);
            }
        }
        return;
    }
    for (QAction* top : menuBar()->actions()) {
        if (top->menu() == nullptr) {
            continue;
        }
        for (QAction* entry : top->menu()->actions()) {
            if (entry->isSeparator() || !entry->isEnabled() ||
                entry->property(kStaysWhileBusyProperty).toBool()) {
                continue;
            }
            entry->setEnabled(false);
            m_lockedActions.append(entry);
        }
    }
}

void TMaster::BuildTray() {
    popQV = new QMenu(this);
    popQV->addAction(QStringLiteral("E&xit"), this, &TMaster::DoQuit);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_tray = new QSystemTrayIcon(windowIcon(), this);
    m_tray->setToolTip(QStringLiteral("Quiva Tessaline"));
    m_tray->setContextMenu(popQV);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    RestoreAndRaise();
                }
            });
    m_tray->show();
}

// ---- status --------------------------------------------------------------------------

void TMaster::Beep() {
    QApplication::beep();
}

void TMaster::ShowStatus(const QString& text, bool hold, int kind) {
    tmrQV->stop();
    m_status->SetStep(0);
    m_status->SetKind(kind);
    m_status->SetText(text);
    m_status->repaint();
    if (!hold) {
        tmrQV->start();
    }
    if (kind == kStatusError) {
        Beep();
        m_lastErrorTick = Tick();
    } else {
        m_lastErrorTick = 0;
    }
    // Let pending painting run so that the text shows during long work. User input waits:
    // the busy state has the controls disabled anyway, and a shortcut must not re-enter.
    if (!m_closing) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

void TMaster::StatusUpdate(const QString& text, int mode, int kind) {
    m_status->SetStep(0);
    m_status->SetKind(kind);
    if (mode == kBusyFade || mode == kBusyHold) {
        m_status->SetText(text);
        tmrQV->stop();
    }
    m_status->repaint();
    if (mode == kBusyFade) {
        tmrQV->start();
    }
    if (kind == kStatusNotice || kind == kStatusError) {
        Beep();
    }
}

void TMaster::BeginBusy(const QString& text, int mode, int kind) {
    tvQV->setEnabled(false);
    LockMenus(true);
    if (m_current) {
        m_current->DisableAndRemember();
    }
    StatusUpdate(text, mode, kind);
}

void TMaster::EndBusy(const QString& text, int mode, int kind) {
    tvQV->setEnabled(true);
    LockMenus(false);
    if (m_current) {
        m_current->RestoreEnabled();
    }
    m_lastErrorTick = kind == kStatusError ? Tick() : 0;
    StatusUpdate(text, mode, kind);
}

bool TMaster::IsBusy() const {
    return !tvQV->isEnabled();
}

void TMaster::ReportFailure(const QString& text) {
    if (IsBusy()) {
        EndBusy(text, kBusyHold, kStatusError);
    } else {
        ShowStatus(text, false, kStatusError);
    }
}

void TMaster::WhenTime() {
    m_status->repaint();
    m_status->SetStep(m_status->Step() + 1);
    if (m_status->Step() >= TStatusPanel::kLastStep) {
        tmrQV->stop();
    }
}

void TMaster::WhenHint(const QString& hint) {
    if (m_lastErrorTick != 0 && Tick() - m_lastErrorTick <= kErrorHoldMs) {
        return;
    }
    tmrQV->stop();
    const qsizetype bar = hint.indexOf('|');
    m_status->SetText(bar < 0 ? hint : hint.mid(bar + 1));
    m_status->SetStep(0);
    m_status->SetKind(kStatusInfo);
    m_status->update();
    if (!m_status->Text().isEmpty()) {
        tmrQV->start();
    }
}

// ---- the tool table and the services ---------------------------------------------

const TToolEntry* TMaster::FindTool(int index) const {
    for (const TToolEntry& entry : m_tools) {
        if (entry.index == index) {
            return &entry;
        }
    }
    return nullptr;
}

void TMaster::SetToolFactory(int index, TToolFactory factory) {
    for (TToolEntry& entry : m_tools) {
        if (entry.index == index) {
            entry.factory = factory;
        }
    }
}

TToolContext TMaster::ToolContext() {
    TToolContext context{this, &m_stores, &m_scripts, &m_backups, this};
    context.tracking = &m_tracking;
    return context;
}

// ---- windows in the panel -----------------------------------------------------------

int TMaster::ToolboxWidth() const {
    return tvQV->isVisible() ? tvQV->width() : 0;
}

void TMaster::FitToWindow(QWidget* window, bool adjustHeight) {
    // The size a window is made at (fixed by most) becomes its smallest; it may grow. A
    // window that fixes its size anew has a new one.
    QSize design = window->property(kDesignSizeProperty).toSize();
    if (!design.isValid() || window->minimumSize() == window->maximumSize()) {
        design = window->size();
        window->setProperty(kDesignSizeProperty, design);
    }
    window->setMinimumSize(design);
    window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (pnlTool->layout()->indexOf(window) < 0) {
        pnlTool->layout()->addWidget(window);
    }
    pnlTool->setMinimumSize(0, 0);
    // A picked window gets its own size; otherwise (the toolbox shown or hidden) the window
    // keeps the size it has and the main window follows.
    const QSize tool = adjustHeight ? design : pnlTool->size().expandedTo(design);
    const int toolbox = tvQV->isHidden() ? 0 : tvQV->width();
    // The smallest size follows the window now shown, before the main window is sized.
    for (QWidget* level : {window, pnlTool, centralWidget()}) {
        if (level->layout() != nullptr) {
            level->layout()->invalidate();
        }
        level->updateGeometry();
    }
    layout()->invalidate();
    layout()->activate();
    resize(toolbox + tool.width(),
           menuBar()->sizeHint().height() + tool.height() + statusBar()->height());
    layout()->activate();
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.x() + (area.width() - frameGeometry().width()) / 2,
             area.y() + (area.height() - frameGeometry().height()) / 2);
    }
}

void TMaster::FreeCurrentWindow() {
    if (!m_current) {
        return;
    }
    TFormBase* window = m_current;
    m_current = nullptr;
    window->BeforeDestruction();
    delete window;
}

bool TMaster::CurrentMayLeave() {
    if (!m_current || m_current->CanLeave()) {
        return true;
    }
    // The tree goes back to the tool that stays.
    const QVariant index = m_current->property("quivaToolIndex");
    for (QTreeWidgetItemIterator it(tvQV); index.isValid() && *it != nullptr; ++it) {
        if ((*it)->data(0, kIndexRole).toInt() == index.toInt()) {
            tvQV->setCurrentItem(*it);
            break;
        }
    }
    return false;
}

void TMaster::AdoptWindow(TFormBase* window, int helpContext) {
    m_current = window;
    ApplyHelpContext(this, helpContext);
    ApplyHelpContext(window, helpContext);
}

void TMaster::ToolSelect(QTreeWidgetItem* item) {
    if (item == nullptr) {
        return;
    }
    const int index = item->data(0, kIndexRole).toInt();
    if (index < 0) {
        return;
    }
    SelectTool(index);
}

void TMaster::SelectTool(int index) {
    const TToolEntry* entry = FindTool(index);
    if (entry == nullptr || !CurrentMayLeave()) {
        return;
    }
    FreeCurrentWindow();
    if (entry->factory == nullptr) {
        return;
    }
    if (entry->title != nullptr) {
        BeginBusy(QString::fromLatin1(entry->title), kBusyFade, kStatusInfo);
    }
    TFormBase* window = nullptr;
    QString failure;
    try {
        window = entry->factory(pnlTool, ToolContext());
        window->setProperty("quivaToolIndex", index);
        window->PlaceInPanel(pnlTool);
    } catch (...) {
        // The panel stays empty, and the user learns why.
        failure = TApplication::FailureText(std::current_exception());
        delete window;
        window = nullptr;
    }
    if (entry->title != nullptr) {
        EndBusy(QString(), kBusyKeep, kStatusInfo);
    }
    if (window == nullptr) {
        if (!failure.isEmpty()) {
            ShowStatus(failure, false, kStatusError);
        }
        return;
    }
    AdoptWindow(window, entry->helpContext);
    window->AfterConstruction();
}

void TMaster::ShowPanelWindow(const TPanelFactory& factory, int helpContext, int kind,
                              const QString& message) {
    if (!CurrentMayLeave()) {
        return;
    }
    FreeCurrentWindow();
    if (factory) {
        TFormBase* window = factory(pnlTool, ToolContext());
        window->PlaceInPanel(pnlTool);
        AdoptWindow(window, helpContext);
        window->AfterConstruction();
    }
    if (!message.isEmpty()) {
        ShowStatus(message, false, kind);
    }
}

int TMaster::CheckInterval() const {
    return tmrCheck->interval();
}

void TMaster::SetCheckInterval(int ms) {
    if (!m_intervalOverride) {
        m_savedInterval = tmrCheck->interval();
    }
    tmrCheck->setInterval(ms);
    tmrCheck->start();
    m_intervalOverride = true;
}

void TMaster::RestoreCheckInterval() {
    tmrCheck->setInterval(m_savedInterval);
    m_intervalOverride = false;
    tmrCheck->start();
}

// ---- menus -----------------------------------------------------------------------------

void TMaster::DoQuit() {
    if (CurrentMayLeave()) {
        QCoreApplication::quit();
    }
}

void TMaster::ShowHideToolBox() {
    tvQV->setVisible(!tvQV->isVisible());
    mnuShowToolbox->setChecked(tvQV->isVisible());
    if (m_current) {
        m_current->FitMainWindow(false);
    }
}

void TMaster::DoEditUP() {
    const QString message = m_stores.PreferencesPassword() == TAppStores::kDefaultPassword
                                ? QStringLiteral("Default password at setup was vompa7")
                                : QString();
    ShowPanelWindow(
        [this](QWidget* panel, const TToolContext& context) {
            return new TfrmUOpt(panel, context, [this] { return IsDirTrackRunning(); });
        },
        kHelpPreferences, kStatusError, message);
}

void TMaster::DoCheckVer() {
    ShowPanelWindow(
        [this](QWidget* panel, const TToolContext& context) {
            return new TfrmVerInf(panel, context, &HttpClient());
        },
        kHelpVersion, kStatusInfo, QString());
}

void TMaster::DoShowAbout() {
    ShowPanelWindow(&CreateTool<TfrmAbout>, kHelpMain, kStatusInfo, QString());
}

TWinWrap& TMaster::HttpClient() {
    if (!m_http) {
        m_http = std::make_unique<TWinWrap>();
        m_http->OnBytes = [this](qint64 count) {
            if (count > 0) {
                ShowStatus(QStringLiteral("%1 bytes received").arg(count), false, kStatusInfo);
            }
        };
    }
    return *m_http;
}

bool TMaster::IsDirTrackRunning() const {
    return m_tracking.Tracking();
}

void TMaster::WhenHelp() {
    if (m_current) {
        ShowHelpContext(HelpContextOf(m_current), this);
    }
}

// ---- events ----------------------------------------------------------------------------

void TMaster::AddIdleHandler(std::function<bool()> handler) {
    m_idleHandlers.push_back(std::move(handler));
}

void TMaster::WhenIdle() {
    if (m_closing) {
        return;
    }
    const qint64 now = Tick();
    if (m_lastSpaceCheck < 0 || now - m_lastSpaceCheck >= kSpaceCheckIntervalMs) {
        m_lastSpaceCheck = now;
        m_backups.CheckFreeSpace();
    }
    m_backups.ProcessIdle();
    bool more = m_tracking.WhenIdle();
    for (const auto& handler : m_idleHandlers) {
        more = handler() || more;
    }
    if (more) {
        QTimer::singleShot(0, this, &TMaster::WhenIdle);
    }
}

void TMaster::RestoreAndRaise() {
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

bool TMaster::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        WhenHint(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QMainWindow::event(event);
}

void TMaster::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimising hides the window to the tray, but only when there is a tray icon to
    // bring it back from.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_tray != nullptr &&
        m_tray->isVisible()) {
        QTimer::singleShot(0, this, &QWidget::hide);
    }
}

void TMaster::closeEvent(QCloseEvent* event) {
    if (!m_closing && !CurrentMayLeave()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void TMaster::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        ShowPanelWindow(WelcomeFactory, kHelpMain, kStatusNotice,
                        QStringLiteral("Welcome to Quiva"));
        // Said once: the program runs on, but keeps nothing.
        const QString unusable = m_stores.UnusableReason();
        if (!unusable.isEmpty()) {
            ShowStatus(QStringLiteral("Nothing will be remembered: %1").arg(unusable), true,
                       kStatusError);
        }
    }
}

void TMaster::wheelEvent(QWheelEvent* event) {
    if (m_current) {
        m_current->WheelStep(event->angleDelta().y() > 0, event->position().toPoint());
    }
    event->accept();
}
