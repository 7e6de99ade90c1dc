#include "core/headless_controller_ui.h"

#include "core/ui_logging.h"

namespace mornix {

void HeadlessControllerUI::setActivationPolicy(ActivationPolicy policy)
{
    qCDebug(lcUi) << "activation policy" << (policy == ActivationPolicy::regular ? "regular" : "accessory");
}

void HeadlessControllerUI::installStatusItem(const MenuActions &)
{
    qCInfo(lcUi) << "no display: running without a status item";
}

void HeadlessControllerUI::removeStatusItem() {}

void HeadlessControllerUI::refreshMenu(const MenuState &state)
{
    qCDebug(lcUi) << "menu: connected" << state.connected << "paused" << state.paused << "last command"
                  << state.lastCommand;
}

void HeadlessControllerUI::showDashboard(const MornixDashboardState &, std::function<void(DashboardAction)>)
{
    qCInfo(lcUi) << "no display: the dashboard cannot be shown";
}

void HeadlessControllerUI::updateDashboard(const MornixDashboardState &) {}

bool HeadlessControllerUI::confirmDisconnect()
{
    qCInfo(lcUi) << "no display: disconnect needs a confirmation nobody can give; declined";
    return false;
}

}  // namespace mornix
