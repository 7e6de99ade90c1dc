#include "identity/credential_records.h"

#include "identity/identity_error.h"
#include "support/json_reader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace mornix {

namespace {

// A record's fields as (key, member) lists, so that one list drives both encoding and decoding.
template <typename Record>
struct TextField {
    const char *key;
    QString Record::*member;
};

template <typename Record>
struct OptionalTextField {
    const char *key;
    std::optional<QString> Record::*member;
};

constexpr TextField<DeviceCredentials> kCredentialTexts[] = {
    {"apiBaseURL", &DeviceCredentials::apiBaseURL}, {"bearerToken", &DeviceCredentials::bearerToken},
    {"orgID", &DeviceCredentials::orgID},           {"projectID", &DeviceCredentials::projectID},
    {"deviceID", &DeviceCredentials::deviceID},     {"deviceSecret", &DeviceCredentials::deviceSecret},
};
constexpr OptionalTextField<DeviceCredentials> kCredentialOptionalTexts[] = {
    {"authBaseURL", &DeviceCredentials::authBaseURL},
    {"authKind", &DeviceCredentials::authKind},
    {"refreshToken", &DeviceCredentials::refreshToken},
    {"oauthClientID", &DeviceCredentials::oauthClientID},
};
constexpr TextField<PendingClaimState> kClaimTexts[] = {
    {"claimID", &PendingClaimState::claimID},
    {"apiBaseURL", &PendingClaimState::apiBaseURL},
    {"deviceName", &PendingClaimState::deviceName},
};
constexpr TextField<BrokerGrant> kGrantTexts[] = {
    {"accessToken", &BrokerGrant::accessToken},
    {"refreshToken", &BrokerGrant::refreshToken},
};

template <typename Record, std::size_t N>
void putTexts(QJsonObject &object, const Record &record, const TextField<Record> (&fields)[N])
{
    for (const auto &field : fields)
        object.insert(QLatin1String(field.key), record.*field.member);
}

template <typename Record, std::size_t N>
void readTexts(const JsonReader &reader, Record &record, const TextField<Record> (&fields)[N])
{
    for (const auto &field : fields)
        record.*field.member = reader.required<QString>(field.key);
}

// The keychain records' decoding errors, in the wording of the platform decoder they replace.
DecodingError decodingError(const JsonFieldError &failure)
{
    switch (failure.problem()) {
    case JsonProblem::NotJson:
        return DecodingError::corrupted(QStringLiteral("The given data was not valid JSON: ") + failure.detail());
    case JsonProblem::NotObject:
        return DecodingError::corrupted(QStringLiteral("Expected to decode a dictionary but found another value."));
    case JsonProblem::Missing:
    case JsonProblem::Null: return DecodingError::missing(failure.key());
    case JsonProblem::WrongType:
    case JsonProblem::NotInteger:
    case JsonProblem::UnknownKey: break;
    }
    return DecodingError::typeMismatch(failure.key());
}

// Parses `json` and hands the reader to `read`; a reading failure becomes a DecodingError.
template <typename Read>
auto decodeWith(const QByteArray &json, Read read)
{
    try {
        return read(JsonReader::parse(json));
    } catch (const JsonFieldError &failure) {
        throw decodingError(failure);
    }
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The grant and the pending claim: required texts and one required number each.
template <typename Record, typename Number, std::size_t N>
QByteArray encodeRecord(const Record &record, const TextField<Record> (&texts)[N], const char *numberKey,
                        Number Record::*number)
{
    QJsonObject o;
    putTexts(o, record, texts);
    o.insert(QLatin1String(numberKey), record.*number);
    return compact(o);
}

template <typename Record, typename Number, std::size_t N>
Record decodeRecord(const QByteArray &json, const TextField<Record> (&texts)[N], const char *numberKey,
                    Number Record::*number)
{
    return decodeWith(json, [&](const JsonReader &reader) {
        Record record;
        readTexts(reader, record, texts);
        record.*number = reader.required<Number>(numberKey);
        return record;
    });
}

}  // namespace

QByteArray DeviceCredentials::encoded() const
{
    QJsonObject o;
    putTexts(o, *this, kCredentialTexts);
    for (const auto &field : kCredentialOptionalTexts) {
        if (this->*field.member)
            o.insert(QLatin1String(field.key), *(this->*field.member));
    }
    if (tokenExpiresAt)
        o.insert(QStringLiteral("tokenExpiresAt"), *tokenExpiresAt);
    return compact(o);
}

DeviceCredentials DeviceCredentials::decode(const QByteArray &json)
{
    return decodeWith(json, [](const JsonReader &reader) {
        DeviceCredentials c;
        readTexts(reader, c, kCredentialTexts);
        for (const auto &field : kCredentialOptionalTexts)
            c.*field.member = reader.optional<QString>(field.key);
        c.tokenExpiresAt = reader.optional<double>("tokenExpiresAt");
        return c;
    });
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
    return encodeRecord(*this, kGrantTexts, "expiresAt", &BrokerGrant::expiresAt);
}

BrokerGrant BrokerGrant::decode(const QByteArray &json)
{
    return decodeRecord(json, kGrantTexts, "expiresAt", &BrokerGrant::expiresAt);
}

QByteArray PendingClaimState::encoded() const
{
    return encodeRecord(*this, kClaimTexts, "createdAt", &PendingClaimState::createdAt);
}

PendingClaimState PendingClaimState::decode(const QByteArray &json)
{
    return decodeRecord(json, kClaimTexts, "createdAt", &PendingClaimState::createdAt);
}

}  // namespace mornix
