#pragma once

#include "core/alert_presenter.h"
#include "core/controller_ui.h"
#include "platform/device_terms.h"
#include "platform/system_log.h"
#include "platform/updater.h"
#include "signin/sign_in_flows.h"

#include <QString>

#include <functional>
#include <memory>

class QCoreApplication;

namespace mornix {

class SignInWindowController;

// The windows of the agent: the widget application, the tray icon with its menu, the dashboard
// and sign-in windows, alerts and the Install/Later dialog. They live in a shared module of the
// bundle that the executable loads only when a display is reachable, so a mode without windows
// never maps Qt Gui, Qt Widgets or a platform plugin. Without the module every part falls back
// to its headless form (core/headless_controller_ui.h, core/logged_alerts.h).
//
// The interface is a plain abstract class returned by one C entry, not a Qt plugin
// (Q_DECLARE_INTERFACE with QPluginLoader): the module is loaded only as the bundle's seal
// covers it, hashed and mapped through one descriptor (platform/linux/modules/sealed_module.h), which
// QPluginLoader cannot do because it loads by path. The interface version guards the ABI: both
// sides are built from this header in one tree, and a change to this class bumps it.
// Thread: main thread. The module stays loaded until the process exits.
class DesktopModule {
public:
    struct ControllerUIOptions {
        QString buildLabel;
        QString iconPath;                          // the bundle's MenuBarIcon.png
        std::shared_ptr<const DeviceTerms> terms;  // the device and keychain words; required
    };

    virtual ~DesktopModule() = default;
    // The widget application (before any other part is made). The agent lives in the tray:
    // closing its last window never quits it.
    virtual std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv) = 0;
    virtual std::shared_ptr<ControllerUI> makeControllerUI(const ControllerUIOptions &options) = 0;
    virtual std::shared_ptr<AlertPresenter> makeAlertPresenter(std::shared_ptr<SystemLog> systemLog) = 0;
    virtual std::shared_ptr<SignInFlows::Alerts> makeSignInAlerts(std::shared_ptr<SystemLog> systemLog) = 0;
    // Gives each new sign-in window controller its visible window, worded with `terms`.
    virtual std::function<void(SignInWindowController *)> signInWindowAttacher(
        std::shared_ptr<const DeviceTerms> terms) = 0;
    virtual std::shared_ptr<UpdatePrompt> makeUpdatePrompt(std::shared_ptr<SystemLog> systemLog) = 0;
};

// The module's one entry point: returns its (static) DesktopModule when built against
// `interfaceVersion`, null otherwise.
inline constexpr char kDesktopModuleEntry[] = "mornix_desktop_module";
inline constexpr int kDesktopModuleInterfaceVersion = 2;
using DesktopModuleEntry = DesktopModule *(*)(int interfaceVersion);
// Where the module lies inside the bundle.
inline constexpr char kDesktopModulePath[] = "Contents/PlugIns/libmornix_desktop.so";

}  // namespace mornix
