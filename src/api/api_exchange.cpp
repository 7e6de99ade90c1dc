#include "api/api_exchange.h"

#include "api/api_error.h"
#include "api/transport_steps.h"

#include <QJsonDocument>

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

QByteArray compactJSON(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace api_exchange
