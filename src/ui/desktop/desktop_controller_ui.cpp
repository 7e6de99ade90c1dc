#include "ui/desktop/desktop_controller_ui.h"

#include "ui/desktop/dashboard_window.h"
#include "ui/desktop/tray_host_watcher.h"
#include "core/ui_logging.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QStyle>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace mornix {

namespace {

// One 8-bit channel product, rounded as Qt's raster engine rounds it.
constexpr uint channelProduct(uint channel, uint alpha)
{
    const uint t = channel * alpha;
    return (t + (t >> 8) + 0x80) >> 8;
}

// The template's coverage in the colour `tint`: exactly what filling the template with `tint` in
// SourceIn mode gives, computed here so that the tray icon is made without starting the raster
// paint engine (its code is the largest part of Qt Gui, and nothing else paints until a window
// or the menu is first shown).
QPixmap tinted(const QImage &templateImage, const QColor &tint)
{
    QImage image = templateImage.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRgb color = tint.rgba64().premultiplied().toArgb32();
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const uint alpha = qAlpha(line[x]);
            line[x] = qRgba(channelProduct(qRed(color), alpha), channelProduct(qGreen(color), alpha),
                            channelProduct(qBlue(color), alpha), channelProduct(qAlpha(color), alpha));
        }
    }
    return QPixmap::fromImage(image);
}

}  // namespace

DesktopControllerUI::DesktopControllerUI(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

DesktopControllerUI::~DesktopControllerUI()
{
    delete m_tray;
    delete m_menu;
    delete m_dashboard;
}

void DesktopControllerUI::setActivationPolicy(ActivationPolicy policy)
{
    // Linux desktops have no dock-icon policy to switch; the tray icon is the only presence.
    qCDebug(lcUi) << "activation policy" << (policy == ActivationPolicy::accessory ? "accessory" : "regular");
}

QIcon DesktopControllerUI::loadMenuBarIcon(const QString &path, const QColor &tint)
{
    QImage base(path);
    if (base.isNull() || base.size() != QSize(18, 18)) {
        qCWarning(lcUi) << "tray icon" << path << "cannot be loaded; using the themed symbol";
        QIcon fallback = QIcon::fromTheme(QStringLiteral("network-transmit-receive-symbolic"),
                                          QIcon::fromTheme(QStringLiteral("network-transmit-receive")));
        if (fallback.isNull())
            fallback = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
        return fallback;
    }
    QIcon icon;
    icon.addPixmap(tinted(base, tint));
    const QFileInfo info(path);
    QImage doubled(info.dir().filePath(info.completeBaseName() + QStringLiteral("@2x.") + info.suffix()));
    if (doubled.size() == QSize(36, 36)) {
        // The reader gives an "@2x" file a device pixel ratio of 2, which makes the icon list it
        // as a second 18 x 18 size: the tray would then export no 36-pixel image for HiDPI panels.
        doubled.setDevicePixelRatio(1.0);
        icon.addPixmap(tinted(doubled, tint));
    }
    return icon;
}

QAction *DesktopControllerUI::addItem(const QString &title, std::function<void()> action, const QKeySequence &key)
{
    QAction *item = m_menu->addAction(title);
    if (!key.isEmpty()) {
        item->setShortcut(key);
        item->setShortcutVisibleInContextMenu(true);
    }
    if (action)
        connect(item, &QAction::triggered, this, [action] { action(); });
    return item;
}

void DesktopControllerUI::installStatusItem(const MenuActions &actions)
{
    if (m_menu)
        return;
    m_menu = new QMenu;
    m_menu->setObjectName(QStringLiteral("statusMenu"));
    addItem(QStringLiteral("Open VeltroMornix"), actions.showDashboard, QKeySequence(QStringLiteral("Ctrl+O")));
    m_menu->addSeparator();
    m_connectionItem = addItem(QStringLiteral("Connected: No"), {});
    m_buildItem = addItem(QStringLiteral("Build: ") + m_options.buildLabel, {});
    m_lastCommandItem = addItem(QStringLiteral("Last command: none"), {});
    for (QAction *item : {m_connectionItem, m_buildItem, m_lastCommandItem})
        item->setEnabled(false);
    m_menu->addSeparator();
    m_registerItem =
        addItem(QStringLiteral("Sign in to Veltro"), actions.registerDevice, QKeySequence(QStringLiteral("Ctrl+R")));
    m_logsItem = addItem(QStringLiteral("Open logs.md"), actions.openLogs);
    m_pauseItem =
        addItem(QStringLiteral("Pause processing"), actions.togglePause, QKeySequence(QStringLiteral("Ctrl+P")));
    m_pauseItem->setCheckable(true);
    m_loginItem =
        addItem(QStringLiteral("Launch at login"), actions.toggleLaunchAtLogin, QKeySequence(QStringLiteral("Ctrl+L")));
    m_loginItem->setCheckable(true);
    m_clearItem = addItem(QStringLiteral("Clear local credentials"), actions.clearCredentials);
    m_menu->addSeparator();
    addItem(QStringLiteral("Quit"), actions.quitApp, QKeySequence(QStringLiteral("Ctrl+Q")));

    m_actions = actions;

    const auto openDashboardInstead = [this] {
        // Still usable: the dashboard is the way in, and closing it leaves the agent running.
        qCWarning(lcUi) << "no system tray is available; the dashboard opens instead";
        QTimer::singleShot(0, this, [show = m_actions.showDashboard] {
            if (show)
                show();
        });
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (m_options.trayAvailable || !bus.isConnected()) {
        // Without a session bus only an X11 embedding tray can host the icon: Qt checks that.
        const bool available =
            m_options.trayAvailable ? m_options.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
        if (available)
            showTrayIcon();
        else
            openDashboardInstead();
        return;
    }
    m_hostWatcher = new TrayHostWatcher(bus, this);
    connect(m_hostWatcher, &TrayHostWatcher::checked, this, [openDashboardInstead](bool present) {
        if (!present)
            openDashboardInstead();
    });
    // Later appearances (the panel started after the agent, or restarted): the first one
    // creates the icon; Qt's item registers again by itself with a restarted watcher.
    connect(m_hostWatcher, &TrayHostWatcher::hostAppeared, this, &DesktopControllerUI::showTrayIcon);
    m_hostWatcher->start();
}

void DesktopControllerUI::showTrayIcon()
{
    if (m_tray || m_statusItemRemoved)
        return;
    const QColor tint = QApplication::palette().color(QPalette::WindowText);
    m_tray = new QSystemTrayIcon(loadMenuBarIcon(m_options.iconPath, tint));
    m_tray->setToolTip(QStringLiteral("Mornix"));
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [show = m_actions.showDashboard](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && show)
                    show();
            });
    m_tray->show();
    qCInfo(lcUi) << "tray icon shown";
}

void DesktopControllerUI::removeStatusItem()
{
    m_statusItemRemoved = true;
    delete m_hostWatcher;
    m_hostWatcher = nullptr;
    delete m_tray;
    m_tray = nullptr;
}

void DesktopControllerUI::refreshMenu(const MenuState &state)
{
    if (!m_menu)
        return;
    m_connectionItem->setText(state.connected ? QStringLiteral("Connected: Yes") : QStringLiteral("Connected: No"));
    m_buildItem->setText(QStringLiteral("Build: ") + state.buildLabel);
    m_lastCommandItem->setText(QStringLiteral("Last command: ") + state.lastCommand);
    m_pauseItem->setChecked(state.paused);
    m_pauseItem->setText(state.paused ? QStringLiteral("Resume processing") : QStringLiteral("Pause processing"));
    m_clearItem->setEnabled(true);
    m_loginItem->setChecked(state.launchAtLogin);
    m_loginItem->setEnabled(true);
}

void DesktopControllerUI::showDashboard(const MornixDashboardState &state,
                                        std::function<void(DashboardAction)> onAction)
{
    if (!m_dashboard) {
        m_dashboard = new DashboardWindow(m_options.buildLabel, m_options.terms, std::move(onAction));
        m_dashboard->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    m_dashboard->update(state);
    m_dashboard->render();
    m_dashboard->show();
    m_dashboard->raise();
    m_dashboard->activateWindow();
}

void DesktopControllerUI::updateDashboard(const MornixDashboardState &state)
{
    if (m_dashboard)
        m_dashboard->update(state);
}

void DesktopControllerUI::selectDashboardActivity()
{
    if (m_dashboard)
        m_dashboard->selectSection(DashboardWindow::Section::activity);
}

bool DesktopControllerUI::confirmDisconnect()
{
    const QString title = QStringLiteral("Disconnect %1 from Veltro?").arg(m_options.terms->deviceNoun());
    QMessageBox box(QMessageBox::Warning, title, title, QMessageBox::NoButton, m_dashboard);
    box.setInformativeText(
        QStringLiteral("Local credentials will be removed and authenticated device processing will stop. "
                       "You can sign in again later."));
    box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton *disconnect = box.addButton(QStringLiteral("Disconnect"), QMessageBox::DestructiveRole);
    box.exec();
    return box.clickedButton() == disconnect;
}

}  // namespace mornix
