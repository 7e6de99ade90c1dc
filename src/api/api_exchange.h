#pragma once

#include "api/http_exchange.h"
#include "api/pinned_session.h"
#include "support/cancellation.h"
#include "support/json_reader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <memory>

namespace mornix {

// Steps shared by the APIClient operations (internal to the api library).
namespace api_exchange {

// Sends the request; an answer without a valid HTTP status raises APIError::invalidResponse.
QCoro::Task<HTTPResponse> send(std::shared_ptr<PinnedSession> session, HTTPRequest request,
                               QPointer<CancellationToken> cancel);

// Sends, validates the status and returns the body.
QCoro::Task<QByteArray> sendValidated(std::shared_ptr<PinnedSession> session, HTTPRequest request,
                                      QPointer<CancellationToken> cancel);

// Parses the body as a JSON object and decodes it with Record::fromJSON; a failure raises
// APIError::decodeError(prefix + decodeFailureText(failure)).
template <typename Record>
Record decode(const QByteArray &body, const QString &prefix);

// The service clients' wording of a reading failure ("No value associated with key …").
QString decodeFailureText(const JsonFieldError &failure);

// A compact JSON body.
QByteArray compactJSON(const QJsonObject &object);

}  // namespace api_exchange

}  // namespace mornix

#include "api/api_error.h"

namespace mornix {

template <typename Record>
Record api_exchange::decode(const QByteArray &body, const QString &prefix)
{
    try {
        return Record::fromJSON(JsonReader::parse(body));
    } catch (const JsonFieldError &failure) {
        throw APIError::decodeError(prefix + decodeFailureText(failure));
    }
}

}  // namespace mornix
