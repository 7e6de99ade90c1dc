#include "api/api_error.h"

namespace mornix {

APIError::APIError(Kind kind, int statusCode, QString text)
    : m_kind(kind)
    , m_statusCode(statusCode)
    , m_text(std::move(text))
{
    switch (m_kind) {
    case Kind::unauthorized: m_what = "unauthorized"; break;
    case Kind::serverError: m_what = "serverError(" + std::to_string(m_statusCode) + ")"; break;
    case Kind::decodeError: m_what = "decodeError: " + m_text.toStdString(); break;
    case Kind::badURL: m_what = "badURL"; break;
    case Kind::invalidResponse: m_what = "invalidResponse"; break;
    }
}

APIError APIError::unauthorized(const QString &body)
{
    return APIError(Kind::unauthorized, 0, body);
}

APIError APIError::serverError(int statusCode, const QString &body)
{
    return APIError(Kind::serverError, statusCode, body);
}

APIError APIError::decodeError(const QString &message)
{
    return APIError(Kind::decodeError, 0, message);
}

APIError APIError::undecodableCommand(const QString &message, const QString &commandID)
{
    APIError error(Kind::decodeError, 0, message);
    error.m_commandID = commandID;
    return error;
}

APIError APIError::badURL()
{
    return APIError(Kind::badURL, 0, {});
}

APIError APIError::invalidResponse()
{
    return APIError(Kind::invalidResponse, 0, {});
}

}  // namespace mornix
