#include "api/service_error_text.h"

#include "api/api_error.h"
#include "api/pinned_session.h"
#include "api/transport_error.h"

namespace mornix {

QString describeServiceError(const std::exception &error)
{
    if (const auto *api = dynamic_cast<const APIError *>(&error)) {
        switch (api->kind()) {
        case APIError::Kind::unauthorized: return QStringLiteral("The service refused the credentials it was sent.");
        case APIError::Kind::serverError:
            return QStringLiteral("The service answered with HTTP status %1.").arg(api->statusCode());
        case APIError::Kind::decodeError:
            return QStringLiteral("The service answer could not be read: %1").arg(api->message());
        case APIError::Kind::badURL: return QStringLiteral("The service address is not valid.");
        case APIError::Kind::invalidResponse: return QStringLiteral("The service answer was not an HTTP response.");
        }
    }
    if (const auto *session = dynamic_cast<const PinnedSessionError *>(&error)) {
        switch (session->kind()) {
        case PinnedSessionError::Kind::invalidAPIBaseURL:
            return QStringLiteral("The service address is not a valid URL.");
        case PinnedSessionError::Kind::insecureScheme: return QStringLiteral("The service address does not use HTTPS.");
        case PinnedSessionError::Kind::disallowedHost:
            return QStringLiteral("The service address is not one of the allowed hosts.");
        }
    }
    if (const auto *transport = dynamic_cast<const TransportError *>(&error))
        return transport->message();
    const QString text = QString::fromUtf8(error.what());
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

}  // namespace mornix
