#pragma once

#include "core/dashboard_state.h"

#include <QString>

#include <functional>

namespace mornix {

// What the controller shows in its status-bar menu.
struct MenuState {
    bool connected = false;
    QString buildLabel;
    QString lastCommand;  // already cleaned for display
    bool paused = false;
    bool launchAtLogin = false;
};

// The controller's menu and dashboard actions, bound by the interface to its items and buttons.
struct MenuActions {
    std::function<void()> showDashboard;
    std::function<void()> registerDevice;
    std::function<void()> openLogs;
    std::function<void()> togglePause;
    std::function<void()> toggleLaunchAtLogin;
    std::function<void()> clearCredentials;
    std::function<void()> quitApp;
};

// The visible side of the controller: status item and menu, dashboard window, alerts and the
// activation policy. The controller decides; the interface only shows. A process without a
// display uses the headless implementation. Thread: main thread.
class ControllerUI {
public:
    enum class ActivationPolicy { regular, accessory };

    virtual ~ControllerUI() = default;

    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Creates the status item with its menu; the actions outlive the interface's use of them.
    virtual void installStatusItem(const MenuActions &actions) = 0;
    // Removes the status item from the status bar (managed presentation).
    virtual void removeStatusItem() = 0;
    virtual void refreshMenu(const MenuState &state) = 0;

    virtual bool hasDashboard() const = 0;
    // Creates the dashboard once (with its action handler), renders `state`, shows it in front.
    virtual void showDashboard(const MornixDashboardState &state, std::function<void(DashboardAction)> onAction) = 0;
    virtual void updateDashboard(const MornixDashboardState &state) = 0;
    // Brings the shown dashboard's Activity section forward (nothing without a dashboard).
    virtual void selectDashboardActivity() = 0;

    // The modal "Disconnect <this device> from Veltro?" alert; true when the user chose "Disconnect".
    virtual bool confirmDisconnect() = 0;
};

}  // namespace mornix
