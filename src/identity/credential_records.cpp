#include "identity/credential_records.h"

#include "identity/identity_error.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <cmath>

namespace {

QJsonObject parseObject(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError::corrupted(QStringLiteral("The given data was not valid JSON: ") + error.errorString());
    if (!document.isObject())
        throw DecodingError::corrupted(QStringLiteral("Expected to decode a dictionary but found another value."));
    return document.object();
}

QString requiredString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        throw DecodingError::missing(key);
    if (!value.isString())
        throw DecodingError::typeMismatch(key);
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        throw DecodingError::typeMismatch(key);
    return value.toString();
}

std::optional<double> optionalDouble(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isDouble())
        throw DecodingError::typeMismatch(key);
    return value.toDouble();
}

double requiredDouble(const QJsonObject &object, const QString &key)
{
    const auto value = optionalDouble(object, key);
    if (!value)
        throw DecodingError::missing(key);
    return *value;
}

// A signed 64-bit integer: an integral JSON number within range, read exactly.
qint64 requiredInt64(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        throw DecodingError::missing(key);
    if (!value.isDouble())
        throw DecodingError::typeMismatch(key);
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9.223372036854775808e18 || d >= 9.223372036854775808e18)
        throw DecodingError::typeMismatch(key);
    return static_cast<qint64>(d);
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void putOptional(QJsonObject &object, const QString &key, const std::optional<QString> &value)
{
    if (value)
        object.insert(key, *value);
}

}  // namespace

QByteArray DeviceCredentials::encoded() const
{
    QJsonObject o;
    o.insert(QStringLiteral("apiBaseURL"), apiBaseURL);
    putOptional(o, QStringLiteral("authBaseURL"), authBaseURL);
    putOptional(o, QStringLiteral("authKind"), authKind);
    o.insert(QStringLiteral("bearerToken"), bearerToken);
    putOptional(o, QStringLiteral("refreshToken"), refreshToken);
    if (tokenExpiresAt)
        o.insert(QStringLiteral("tokenExpiresAt"), *tokenExpiresAt);
    putOptional(o, QStringLiteral("oauthClientID"), oauthClientID);
    o.insert(QStringLiteral("orgID"), orgID);
    o.insert(QStringLiteral("projectID"), projectID);
    o.insert(QStringLiteral("deviceID"), deviceID);
    o.insert(QStringLiteral("deviceSecret"), deviceSecret);
    return compact(o);
}

DeviceCredentials DeviceCredentials::decode(const QByteArray &json)
{
    const QJsonObject o = parseObject(json);
    DeviceCredentials c;
    c.apiBaseURL = requiredString(o, QStringLiteral("apiBaseURL"));
    c.authBaseURL = optionalString(o, QStringLiteral("authBaseURL"));
    c.authKind = optionalString(o, QStringLiteral("authKind"));
    c.bearerToken = requiredString(o, QStringLiteral("bearerToken"));
    c.refreshToken = optionalString(o, QStringLiteral("refreshToken"));
    c.tokenExpiresAt = optionalDouble(o, QStringLiteral("tokenExpiresAt"));
    c.oauthClientID = optionalString(o, QStringLiteral("oauthClientID"));
    c.orgID = requiredString(o, QStringLiteral("orgID"));
    c.projectID = requiredString(o, QStringLiteral("projectID"));
    c.deviceID = requiredString(o, QStringLiteral("deviceID"));
    c.deviceSecret = requiredString(o, QStringLiteral("deviceSecret"));
    return c;
}

bool BrokerGrant::isValid() const
{
    static const QRegularExpression refreshPattern(QStringLiteral("^sg1\\.[A-Za-z0-9_-]{43}\\z"));
    static const QRegularExpression accessPattern(QStringLiteral("^bg1\\.[A-Za-z0-9_-]+\\z"));
    if (!accessToken.startsWith(QLatin1String("bg1.")))
        return false;
    if (accessToken.toUtf8().size() > 16384)
        return false;
    // \z, not $: a token with a trailing line break is not a token.
    if (!refreshPattern.match(refreshToken).hasMatch())
        return false;
    if (!accessPattern.match(accessToken).hasMatch())
        return false;
    return expiresAt > 0;
}

QByteArray BrokerGrant::encoded() const
{
    QJsonObject o;
    o.insert(QStringLiteral("accessToken"), accessToken);
    o.insert(QStringLiteral("refreshToken"), refreshToken);
    o.insert(QStringLiteral("expiresAt"), expiresAt);
    return compact(o);
}

BrokerGrant BrokerGrant::decode(const QByteArray &json)
{
    const QJsonObject o = parseObject(json);
    BrokerGrant g;
    g.accessToken = requiredString(o, QStringLiteral("accessToken"));
    g.refreshToken = requiredString(o, QStringLiteral("refreshToken"));
    g.expiresAt = requiredInt64(o, QStringLiteral("expiresAt"));
    return g;
}

QByteArray PendingClaimState::encoded() const
{
    QJsonObject o;
    o.insert(QStringLiteral("claimID"), claimID);
    o.insert(QStringLiteral("apiBaseURL"), apiBaseURL);
    o.insert(QStringLiteral("deviceName"), deviceName);
    o.insert(QStringLiteral("createdAt"), createdAt);
    return compact(o);
}

PendingClaimState PendingClaimState::decode(const QByteArray &json)
{
    const QJsonObject o = parseObject(json);
    PendingClaimState p;
    p.claimID = requiredString(o, QStringLiteral("claimID"));
    p.apiBaseURL = requiredString(o, QStringLiteral("apiBaseURL"));
    p.deviceName = requiredString(o, QStringLiteral("deviceName"));
    p.createdAt = requiredDouble(o, QStringLiteral("createdAt"));
    return p;
}
