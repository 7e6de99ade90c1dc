#pragma once

#include "signin/sign_in_flows.h"

#include <memory>

namespace mornix {

class SystemLog;

// The flows' alerts as modal message boxes. Without a widget application (a headless start) no
// window can be shown: the alert's texts go to the system log instead.
class MessageBoxSignInAlerts final : public SignInFlows::Alerts {
public:
    explicit MessageBoxSignInAlerts(std::shared_ptr<SystemLog> systemLog);
    void showWarning(const QString &title, const QString &text) override;
    void showInformational(const QString &title, const QString &text) override;

private:
    std::shared_ptr<SystemLog> m_systemLog;
};

}  // namespace mornix
