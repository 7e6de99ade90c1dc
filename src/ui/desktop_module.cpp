#include "core/desktop_module.h"

#include "ui/desktop/desktop_controller_ui.h"
#include "ui/desktop/sign_in_panel.h"
#include "ui/message_box_alert_presenter.h"
#include "ui/message_box_sign_in_alerts.h"
#include "ui/update_prompt_dialog.h"

#include <QApplication>

namespace mornix {

namespace {

class WidgetDesktopModule final : public DesktopModule {
public:
    std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv) override
    {
        auto app = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return app;
    }

    std::shared_ptr<ControllerUI> makeControllerUI(const ControllerUIOptions &options) override
    {
        DesktopControllerUI::Options desktop;
        desktop.buildLabel = options.buildLabel;
        desktop.iconPath = options.iconPath;
        desktop.terms = options.terms;
        return std::make_shared<DesktopControllerUI>(desktop);
    }

    std::shared_ptr<AlertPresenter> makeAlertPresenter(std::shared_ptr<SystemLog> systemLog) override
    {
        return std::make_shared<MessageBoxAlertPresenter>(std::move(systemLog));
    }

    std::shared_ptr<SignInFlows::Alerts> makeSignInAlerts(std::shared_ptr<SystemLog> systemLog) override
    {
        return std::make_shared<MessageBoxSignInAlerts>(std::move(systemLog));
    }

    std::function<void(SignInWindowController *)> signInWindowAttacher(
        std::shared_ptr<const DeviceTerms> terms) override
    {
        return [terms](SignInWindowController *controller) { SignInPanel::attach(controller, *terms); };
    }

    std::shared_ptr<UpdatePrompt> makeUpdatePrompt(std::shared_ptr<SystemLog> systemLog) override
    {
        return std::make_shared<UpdatePromptDialog>(std::move(systemLog));
    }
};

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" __attribute__((visibility("default"))) DesktopModule *mornix_desktop_module(int interfaceVersion)
{
    if (interfaceVersion != kDesktopModuleInterfaceVersion)
        return nullptr;
    static WidgetDesktopModule module;
    return &module;
}
