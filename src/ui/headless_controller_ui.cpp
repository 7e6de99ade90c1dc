#include "ui/headless_controller_ui.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcHeadlessUI, "mornix.ui")

void HeadlessControllerUI::setActivationPolicy(ActivationPolicy policy)
{
    qCDebug(lcHeadlessUI) << "activation policy" << (policy == ActivationPolicy::Regular ? "regular" : "accessory");
}

void HeadlessControllerUI::installStatusItem(const MenuActions &)
{
    qCInfo(lcHeadlessUI) << "no display: running without a status item";
}

void HeadlessControllerUI::removeStatusItem()
{
}

void HeadlessControllerUI::refreshMenu(const MenuState &state)
{
    qCDebug(lcHeadlessUI) << "menu: connected" << state.connected << "paused" << state.paused
                          << "last command" << state.lastCommand;
}

void HeadlessControllerUI::showDashboard(const MornixDashboardState &, std::function<void(DashboardAction)>)
{
    qCInfo(lcHeadlessUI) << "no display: the dashboard cannot be shown";
}

void HeadlessControllerUI::updateDashboard(const MornixDashboardState &)
{
}

bool HeadlessControllerUI::confirmDisconnect()
{
    qCInfo(lcHeadlessUI) << "no display: disconnect needs a confirmation nobody can give; declined";
    return false;
}
