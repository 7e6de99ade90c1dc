#pragma once

#include "core/alert_presenter.h"
#include "platform/system_log.h"
#include "platform/updater.h"
#include "signin/sign_in_flows.h"

#include <memory>

namespace mornix {

// Alerts and questions where no window can be shown (no display, or the desktop module is not
// loaded): the texts go to the system log, and a question gets the answer that changes nothing.
// Thread: main thread.
class LoggedAlertPresenter final : public AlertPresenter {
public:
    explicit LoggedAlertPresenter(std::shared_ptr<SystemLog> systemLog);
    void showWarning(const QString &messageText, const QString &informativeText) override;

private:
    std::shared_ptr<SystemLog> m_systemLog;
};

class LoggedSignInAlerts final : public SignInFlows::Alerts {
public:
    explicit LoggedSignInAlerts(std::shared_ptr<SystemLog> systemLog);
    void showWarning(const QString &title, const QString &text) override;
    void showInformational(const QString &title, const QString &text) override;

private:
    std::shared_ptr<SystemLog> m_systemLog;
};

// Answers Later to every offered update, saying so in the system log.
class LoggedUpdatePrompt final : public UpdatePrompt {
public:
    explicit LoggedUpdatePrompt(std::shared_ptr<SystemLog> systemLog);
    QCoro::Task<bool> askToInstall(UpdateOffer offer) override;

private:
    std::shared_ptr<SystemLog> m_systemLog;
};

}  // namespace mornix
