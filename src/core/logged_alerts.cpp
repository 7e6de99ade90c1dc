#include "core/logged_alerts.h"

namespace mornix {

LoggedAlertPresenter::LoggedAlertPresenter(std::shared_ptr<SystemLog> systemLog)
    : m_systemLog(std::move(systemLog))
{
}

void LoggedAlertPresenter::showWarning(const QString &messageText, const QString &informativeText)
{
    if (m_systemLog)
        m_systemLog->error(messageText + QStringLiteral(": ") + informativeText);
}

LoggedSignInAlerts::LoggedSignInAlerts(std::shared_ptr<SystemLog> systemLog)
    : m_systemLog(std::move(systemLog))
{
}

void LoggedSignInAlerts::showWarning(const QString &title, const QString &text)
{
    if (m_systemLog)
        m_systemLog->error(title + QStringLiteral(": ") + text);
}

void LoggedSignInAlerts::showInformational(const QString &title, const QString &text)
{
    if (m_systemLog)
        m_systemLog->error(title + QStringLiteral(": ") + text);
}

LoggedUpdatePrompt::LoggedUpdatePrompt(std::shared_ptr<SystemLog> systemLog)
    : m_systemLog(std::move(systemLog))
{
}

QCoro::Task<bool> LoggedUpdatePrompt::askToInstall(UpdateOffer offer)
{
    if (m_systemLog)
        m_systemLog->info(
            QStringLiteral("Veltro Desktop update %1 is available; no display to ask on").arg(offer.displayVersion));
    co_return false;
}

}  // namespace mornix
