#pragma once

#include "core/controller_ui.h"
#include "platform/device_terms.h"

#include <QObject>
#include <QKeySequence>
#include <QPointer>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace mornix {

class DashboardWindow;
class TrayHostWatcher;

// The desktop interface of the controller: a tray icon with the status menu, the dashboard
// window and the disconnect confirmation. Without a tray host at start (a bare X server, a
// panel that is not up yet) the dashboard opens instead, and the icon is shown as soon as a
// status-notifier host appears on the session bus. Thread: main thread; needs a QApplication.
class DesktopControllerUI final : public QObject, public ControllerUI {
    Q_OBJECT
public:
    struct Options {
        QString buildLabel;
        QString iconPath;                          // the bundle's MenuBarIcon.png (an @2x file beside it is used too)
        std::shared_ptr<const DeviceTerms> terms;  // names this device in the texts; required
        // Tests: decides once whether a tray host is present; empty: follows the session bus.
        std::function<bool()> trayAvailable;
    };

    explicit DesktopControllerUI(Options options, QObject *parent = nullptr);
    ~DesktopControllerUI() override;

    void setActivationPolicy(ActivationPolicy policy) override;
    void installStatusItem(const MenuActions &actions) override;
    void removeStatusItem() override;
    void refreshMenu(const MenuState &state) override;
    bool hasDashboard() const override { return m_dashboard != nullptr; }
    void showDashboard(const MornixDashboardState &state, std::function<void(DashboardAction)> onAction) override;
    void updateDashboard(const MornixDashboardState &state) override;
    void selectDashboardActivity() override;
    bool confirmDisconnect() override;

    // The tray icon image: the template tinted with `tint`, or the themed fallback symbol when
    // the file cannot be loaded.
    static QIcon loadMenuBarIcon(const QString &path, const QColor &tint);

    QMenu *menu() const { return m_menu; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    DashboardWindow *dashboard() const { return m_dashboard; }

private:
    QAction *addItem(const QString &title, std::function<void()> action, const QKeySequence &key = {});
    void showTrayIcon();

    // Qt settles on the D-Bus tray or the X11 embedding one at its first tray question and
    // keeps that for the process: no QSystemTrayIcon call is made before a host is known.

    Options m_options;
    MenuActions m_actions;
    TrayHostWatcher *m_hostWatcher = nullptr;
    bool m_statusItemRemoved = false;
    QMenu *m_menu = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    DashboardWindow *m_dashboard = nullptr;
    QAction *m_connectionItem = nullptr;
    QAction *m_buildItem = nullptr;
    QAction *m_lastCommandItem = nullptr;
    QAction *m_registerItem = nullptr;
    QAction *m_logsItem = nullptr;
    QAction *m_pauseItem = nullptr;
    QAction *m_loginItem = nullptr;
    QAction *m_clearItem = nullptr;
};

}  // namespace mornix
