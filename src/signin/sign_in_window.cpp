#include "signin/sign_in_window.h"

#include <QCoroFuture>

namespace mornix {

namespace SignInPreferences {

QString normalizedAPIBaseURL(const std::optional<QString> &value, const QString &defaultAPIBaseURL,
                             const QString &websiteHost)
{
    if (!value)
        return defaultAPIBaseURL;
    const QString text = value->trimmed();
    const QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid() || url.host().isEmpty())
        return defaultAPIBaseURL;
    const QString host = url.host().toLower();
    const QString site = websiteHost.toLower();
    const QString apiHost = QUrl(defaultAPIBaseURL).host().toLower();
    if ((!site.isEmpty() && (host == site || host == QStringLiteral("www.") + site)) || host == apiHost)
        return defaultAPIBaseURL;
    return text;
}

std::optional<QString> storedAPIBaseURL(const UserDefaults &defaults)
{
    return defaults.string(apiBaseURLKey);
}

void storeAPIBaseURL(UserDefaults &defaults, const QString &value)
{
    defaults.setString(apiBaseURLKey, value);
}

}  // namespace SignInPreferences

SignInWindowController::SignInWindowController(QString apiBaseURL, QString deviceName, Settings settings,
                                               QObject *parent)
    : QObject(parent)
    , m_apiBaseURL(std::move(apiBaseURL))
    , m_deviceName(std::move(deviceName))
    , m_settings(std::move(settings))
{
}

QCoro::Task<std::optional<SignInRequest>> SignInWindowController::present()
{
    m_didResolve = false;
    m_open = true;
    QFutureInterface<std::optional<SignInRequest>> continuation;
    continuation.reportStarted();
    const QFuture<std::optional<SignInRequest>> result = continuation.future();
    m_continuation = continuation;

    Q_EMIT presented();
    Q_EMIT changed();
    co_return co_await result;
}

void SignInWindowController::openHelp()
{
    if (m_settings.openHelpPage)
        m_settings.openHelpPage(m_settings.helpPageURL);
}

SignInRequest SignInWindowController::makeRequest(const SignInMethod &method)
{
    m_apiBaseURL =
        SignInPreferences::normalizedAPIBaseURL(m_apiBaseURL, m_settings.defaultAPIBaseURL, m_settings.websiteHost);
    if (m_settings.userDefaults)
        SignInPreferences::storeAPIBaseURL(*m_settings.userDefaults, m_apiBaseURL);
    return SignInRequest{m_apiBaseURL, m_deviceName, method, m_settings.defaultOAuthClientID, std::nullopt};
}

void SignInWindowController::submit(const SignInMethod &method)
{
    if (!m_open || !m_buttonsEnabled)
        return;  // a disabled or closed window has no buttons to press
    const SignInRequest request = makeRequest(method);
    if (!m_didResolve) {
        resolve(request, false);
        return;
    }
    if (m_newAttempt)
        m_newAttempt(request);
}

void SignInWindowController::resolve(std::optional<SignInRequest> request, bool closeWindow)
{
    if (m_didResolve)
        return;
    m_didResolve = true;
    std::optional<QFutureInterface<std::optional<SignInRequest>>> continuation;
    continuation.swap(m_continuation);
    if (closeWindow)
        orderOutAndClose();
    if (continuation) {
        continuation->reportResult(request);
        continuation->reportFinished();
    }
}

void SignInWindowController::windowWillClose()
{
    const bool wasOpen = m_open;
    m_open = false;
    if (wasOpen)
        Q_EMIT closed();
    if (m_didResolve)
        return;
    m_didResolve = true;
    std::optional<QFutureInterface<std::optional<SignInRequest>>> continuation;
    continuation.swap(m_continuation);
    if (continuation) {
        continuation->reportResult(std::nullopt);
        continuation->reportFinished();
    }
}

void SignInWindowController::setButtonsEnabled(bool enabled)
{
    m_buttonsEnabled = enabled;
    Q_EMIT changed();
}

void SignInWindowController::setStatus(const QString &text, LabelColor color)
{
    m_statusText = text;
    m_statusColor = color;
    m_statusVisible = true;
    Q_EMIT changed();
}

void SignInWindowController::clearStatus()
{
    m_statusText.clear();
    m_statusColor = LabelColor::secondary;
    m_statusVisible = false;
    Q_EMIT changed();
}

void SignInWindowController::orderOutAndClose()
{
    if (!m_open)
        return;
    m_open = false;
    Q_EMIT changed();
    Q_EMIT closed();
}

}  // namespace mornix
