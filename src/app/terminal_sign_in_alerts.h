#pragma once

#include "signin/sign_in_flows.h"

namespace mornix {

// The flows' alerts in a terminal: title and text on standard error.
class TerminalSignInAlerts final : public SignInFlows::Alerts {
public:
    void showWarning(const QString &title, const QString &text) override;
    void showInformational(const QString &title, const QString &text) override;
};

}  // namespace mornix
