#include "signin/sign_in_flows.h"

#include "api/api_error.h"
#include "api/service_error_text.h"
#include "api/transport_error.h"
#include "support/text_cleaning.h"

// What a failed sign-in, registration or claim phase shows and logs.

namespace mornix {

namespace {

bool containsIgnoringCase(const QString &text, QLatin1String needle)
{
    return text.contains(needle, Qt::CaseInsensitive);
}

QString oauthErrorDescription(const OAuthError &error)
{
    switch (error.kind()) {
    case OAuthError::Kind::callbackListenerFailed:
        return QStringLiteral("The sign-in listener failed: ") + error.message();
    case OAuthError::Kind::invalidBaseURL: return QStringLiteral("The sign-in address is not a valid URL.");
    case OAuthError::Kind::invalidAuthorizeURL: return QStringLiteral("The authorization URL could not be formed.");
    case OAuthError::Kind::invalidCallback: return QStringLiteral("The sign-in callback could not be read.");
    case OAuthError::Kind::missingCode: return QStringLiteral("The sign-in callback carried no authorization code.");
    case OAuthError::Kind::missingToken: return QStringLiteral("The sign-in returned no token.");
    case OAuthError::Kind::missingClientCredentials: return QStringLiteral("No OAuth client identifier is configured.");
    case OAuthError::Kind::stateMismatch: return QStringLiteral("The sign-in callback did not match this attempt.");
    case OAuthError::Kind::canceled: return QStringLiteral("The sign-in was canceled.");
    case OAuthError::Kind::failedToStart: return QStringLiteral("The web browser could not be opened.");
    case OAuthError::Kind::callbackTimedOut: return QStringLiteral("The sign-in timed out.");
    case OAuthError::Kind::providerError: return QStringLiteral("The sign-in provider reported: ") + error.message();
    }
    return QStringLiteral("The sign-in failed.");
}

}  // namespace

QString SignInFlows::describe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const OAuthError &e) {
        return oauthErrorDescription(e);
    } catch (const std::exception &e) {
        return describeServiceError(e);
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

QString SignInFlows::redactedServerDetail(const QString &detail)
{
    const QString lower = detail.toLower();
    if (lower.contains(QLatin1String("secure_enclave_public_key"))
        || lower.contains(QLatin1String("stable_payload_json"))
        || lower.contains(QLatin1String("mdm_enrollment_secret")))
        return QStringLiteral("redacted sensitive server detail");
    return sanitizeLog(detail, 4000);
}

SignInFlows::FailureTexts SignInFlows::failureTexts(const std::exception_ptr &error, const QString &phase,
                                                    const std::optional<QString> &pinFailure)
{
    const auto generic = [&] {
        return FailureTexts{
            sanitizeLog(QStringLiteral("failed at ") + phase + QStringLiteral(": ") + describe(error), 120),
            QStringLiteral("failed during ") + phase, std::nullopt};
    };
    try {
        std::rethrow_exception(error);
    } catch (const OAuthError &e) {
        switch (e.kind()) {
        case OAuthError::Kind::missingClientCredentials:
            return {QStringLiteral("oauth app credentials missing"),
                    QStringLiteral("enter oauth client id and secret"),
                    {}};
        case OAuthError::Kind::stateMismatch:
            return {QStringLiteral("oauth state mismatch, retry sign-in"), QStringLiteral("state mismatch"), {}};
        case OAuthError::Kind::canceled:
            return {QStringLiteral("oauth canceled (callback not received)"), QStringLiteral("sign-in canceled"), {}};
        case OAuthError::Kind::callbackTimedOut:
            return {QStringLiteral("oauth timeout, retry sign-in"), QStringLiteral("sign-in timed out"), {}};
        case OAuthError::Kind::missingCode:
            return {QStringLiteral("oauth callback missing code"), QStringLiteral("missing authorization code"), {}};
        case OAuthError::Kind::missingToken:
            return {QStringLiteral("oauth callback missing token"),
                    QStringLiteral("provider sign-in did not return a token"),
                    {}};
        case OAuthError::Kind::providerError:
            return {sanitizeLog(QStringLiteral("oauth provider error: ") + e.message(), 120),
                    QStringLiteral("sign-in provider reported an error"),
                    {}};
        case OAuthError::Kind::callbackListenerFailed:
            return {sanitizeLog(QStringLiteral("oauth listener failed: ") + e.message(), 80),
                    QStringLiteral("authentication failed"),
                    {}};
        default: return generic();
        }
    } catch (const APIError &e) {
        if (e.kind() == APIError::Kind::unauthorized)
            return {sanitizeLog(QStringLiteral("unauthorized at ") + phase + QStringLiteral(": ") + e.body(), 120),
                    QStringLiteral("unauthorized during ") + phase,
                    {}};
        if (e.kind() == APIError::Kind::serverError) {
            const QString logLine =
                QStringLiteral("server detail at ") + phase + QStringLiteral(": ") + redactedServerDetail(e.body());
            if (containsIgnoringCase(e.body(), QLatin1String("redirect_uri does not match previously seen redirect")))
                return {QStringLiteral("oauth redirect mismatch, retry sign-in"),
                        QStringLiteral("redirect mismatch on auth server"), logLine};
            // The detail shown is the redacted one: what is never logged is never shown either.
            return {sanitizeLog(QStringLiteral("server ") + QString::number(e.statusCode()) + QStringLiteral(" at ")
                                    + phase + QStringLiteral(": ") + redactedServerDetail(e.body()),
                                120),
                    QStringLiteral("server error during ") + phase, logLine};
        }
        return generic();
    } catch (const TransportError &e) {
        if (e.code() == QNetworkReply::OperationCanceledError && pinFailure && *pinFailure != QLatin1String("ok")) {
            const QString message = sanitizeLog(*pinFailure + QStringLiteral(" at ") + phase, 120);
            return {message, *pinFailure, {}};
        }
        return {sanitizeLog(
                    QStringLiteral("network ") + QString::number(int(e.code())) + QStringLiteral(" at ") + phase, 120),
                QStringLiteral("network error at ") + phase,
                {}};
    } catch (...) {
        return generic();
    }
}

}  // namespace mornix
