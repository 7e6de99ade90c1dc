#include "api/api_exchange.h"

#include "api/api_error.h"
#include "api/transport_steps.h"

#include <QJsonDocument>

namespace mornix {

namespace api_exchange {

QCoro::Task<HTTPResponse> send(std::shared_ptr<PinnedSession> session, HTTPRequest request,
                               QPointer<CancellationToken> cancel)
{
    HTTPResponse response = co_await session->send(std::move(request), cancel);
    // A status outside 100-599 is no HTTP answer.
    if (!response.status || *response.status < 100 || *response.status > 599)
        throw APIError::invalidResponse();
    co_return response;
}

QCoro::Task<QByteArray> sendValidated(std::shared_ptr<PinnedSession> session, HTTPRequest request,
                                      QPointer<CancellationToken> cancel)
{
    const HTTPResponse response = co_await send(std::move(session), std::move(request), cancel);
    api_transport::validateHTTP(*response.status, response.body);
    co_return response.body;
}

QString decodeFailureText(const JsonFieldError &failure)
{
    switch (failure.problem()) {
    case JsonProblem::NotJson:
        return QStringLiteral("The data is not valid JSON (%1 at offset %2).")
            .arg(failure.detail())
            .arg(failure.offset());
    case JsonProblem::NotObject: return QStringLiteral("Expected a JSON object at the top level.");
    case JsonProblem::Missing: return QStringLiteral("No value associated with key \"%1\".").arg(failure.key());
    case JsonProblem::Null: return QStringLiteral("Expected a value for key \"%1\" but found null.").arg(failure.key());
    case JsonProblem::WrongType:
    case JsonProblem::NotInteger:
    case JsonProblem::UnknownKey: break;
    }
    return QStringLiteral("Expected %1 for key \"%2\" but found another type.").arg(failure.expected(), failure.key());
}

QByteArray compactJSON(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace api_exchange

}  // namespace mornix
