#include "api/transport_steps.h"

#include "api/api_error.h"
#include "identity/security_text.h"
#include "support/crypto.h"

#include <QDateTime>
#include <QStringDecoder>
#include <QUrlQuery>

namespace mornix {

namespace api_transport {

QUrl buildURL(const QString &apiBaseURL, const QString &path, const QMap<QString, QString> &query)
{
    QUrl url(apiBaseURL.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        throw APIError::badURL();
    // The path is given percent-encoded (a command id is one encoded segment): taken as it is.
    url.setPath(path, QUrl::TolerantMode);
    url.setFragment(QString());
    if (query.isEmpty()) {
        url.setQuery(QString());
    } else {
        QUrlQuery items;
        for (auto it = query.cbegin(); it != query.cend(); ++it)
            items.addQueryItem(QString::fromLatin1(QUrl::toPercentEncoding(it.key())),
                               QString::fromLatin1(QUrl::toPercentEncoding(it.value())));
        url.setQuery(items.query(QUrl::FullyEncoded), QUrl::StrictMode);
    }
    if (!url.isValid())
        throw APIError::badURL();
    return url;
}

QString canonicalRequestText(const QByteArray &method, const QUrl &url, const QString &timestamp, const QString &nonce,
                             const QByteArray &body)
{
    // The path exactly as it goes on the wire: a decoded form would let one signature stand
    // for several different requests (an encoded "/" in a segment, for one).
    QString path = url.path(QUrl::FullyEncoded);
    if (url.hasQuery())
        path += QLatin1Char('?') + url.query(QUrl::FullyEncoded);
    const QString upperMethod = method.isEmpty() ? QStringLiteral("GET") : QString::fromLatin1(method).toUpper();
    return QStringList{upperMethod, path, timestamp, nonce, crypto::sha256Hex(body)}.join(QLatin1Char('\n'));
}

QString requestSignature(const QString &canonicalText, const QString &deviceSecret)
{
    // The 64 hex characters of the secret's hash are the key as they stand, not decoded.
    const QByteArray key = hashDeviceSecret(deviceSecret).toUtf8();
    return crypto::hexLower(crypto::hmacSha256(key, canonicalText.toUtf8()));
}

void signRequest(HTTPRequest &request, const QString &deviceID, const QString &deviceSecret)
{
    if (request.url.isEmpty())
        throw APIError::badURL();
    const QString timestamp = QString::number(QDateTime::currentSecsSinceEpoch());
    const QString nonce = crypto::randomUUIDLower();
    const QString canonical = canonicalRequestText(request.method, request.url, timestamp, nonce, request.body);
    const QByteArray signature = "v1=" + requestSignature(canonical, deviceSecret).toLatin1();
    const QByteArray id = deviceID.toUtf8();
    request.setHeader("x-veltro-device-id", id);
    request.setHeader("x-veltro-device-ts", timestamp.toLatin1());
    request.setHeader("x-veltro-device-nonce", nonce.toLatin1());
    request.setHeader("x-veltro-device-signature", signature);
    request.setHeader("x-veltro-key-id", id);
    request.setHeader("x-veltro-ts", timestamp.toLatin1());
    request.setHeader("x-veltro-nonce", nonce.toLatin1());
    request.setHeader("x-veltro-signature", signature);
}

void validateHTTP(int status, const QByteArray &body)
{
    if (status >= 200 && status <= 299)
        return;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        text = QStringLiteral("<empty>");
    if (status == 401 || status == 403)
        throw APIError::unauthorized(text);
    throw APIError::serverError(status, text);
}

QByteArray formBody(const QList<QPair<QString, QString>> &fields)
{
    QByteArrayList pairs;
    for (const auto &[name, value] : fields)
        pairs << QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    return pairs.join('&');
}

}  // namespace api_transport

}  // namespace mornix
