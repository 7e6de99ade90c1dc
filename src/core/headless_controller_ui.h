#pragma once

#include "core/controller_ui.h"

namespace mornix {

// The interface of a process without a display (and of --desktop-managed): nothing is shown;
// what would be shown goes to the debug log of "mornix.ui". A disconnect cannot be confirmed
// by anyone and is therefore declined.
class HeadlessControllerUI final : public ControllerUI {
public:
    void setActivationPolicy(ActivationPolicy policy) override;
    void installStatusItem(const MenuActions &actions) override;
    void removeStatusItem() override;
    void refreshMenu(const MenuState &state) override;
    bool hasDashboard() const override { return false; }
    void showDashboard(const MornixDashboardState &state, std::function<void(DashboardAction)> onAction) override;
    void updateDashboard(const MornixDashboardState &state) override;
    void selectDashboardActivity() override {}
    bool confirmDisconnect() override;
};

}  // namespace mornix
