#pragma once

#include "api/http_exchange.h"

#include <QMap>
#include <QString>
#include <QUrl>

#include <chrono>

namespace mornix {

// The steps every APIClient operation shares. All raise APIError; all are pure and thread-safe.
namespace api_transport {

// Inactivity limit of every API operation's request except the public configuration read (which
// keeps the session default, PinnedSession::defaultTransferTimeout).
inline constexpr std::chrono::milliseconds operationTransferTimeout{60000};

// The base URL text trimmed, its path replaced by `path` (in percent-encoded form, kept as
// given), with `query` as query items.
// badURL when the text does not parse or has no scheme or host.
QUrl buildURL(const QString &apiBaseURL, const QString &path, const QMap<QString, QString> &query = {});

// Method, path as sent (percent-encoded; "?" and the encoded query appended when there is one), timestamp,
// nonce and the body's SHA-256 hex, joined by line feeds.
QString canonicalRequestText(const QByteArray &method, const QUrl &url, const QString &timestamp, const QString &nonce,
                             const QByteArray &body);

// Lower-case hex HMAC-SHA-256 of the canonical text, keyed by the 64 ASCII characters of the
// lower-case hex SHA-256 of the device secret.
QString requestSignature(const QString &canonicalText, const QString &deviceSecret);

// Signs a request whose method, URL, headers and body are final: sets the eight device headers
// with the current Unix time and a fresh nonce. badURL when the request has no URL.
void signRequest(HTTPRequest &request, const QString &deviceID, const QString &deviceSecret);

// Passes statuses 200-299; 401 and 403 give unauthorized, others serverError, with the body as
// UTF-8 text ("<empty>" when it is not valid UTF-8).
void validateHTTP(int status, const QByteArray &body);

// The body of an application/x-www-form-urlencoded request: name=value pairs in the given order,
// everything but unreserved characters percent-encoded.
QByteArray formBody(const QList<QPair<QString, QString>> &fields);

}  // namespace api_transport

}  // namespace mornix
