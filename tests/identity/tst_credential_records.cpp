#include "identity/credential_records.h"
#include "identity/identity_error.h"
#include "support/credentials_builder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace mornix {

class CredentialRecordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void recordsRoundTrip();
    void brokerGrantValidityRules_data();
    void brokerGrantValidityRules();
    void decodingFailures_data();
    void decodingFailures();
};

namespace {
const QString k43 = QString(43, QLatin1Char('a'));
}  // namespace

// Absent optionals are omitted (null counts as absent); every field survives a round trip; a
// grant's expiry beyond 2^53 is read exactly.
void CredentialRecordsTest::recordsRoundTrip()
{
    const DeviceCredentials plain = CredentialsBuilder().build();
    QCOMPARE(QJsonDocument::fromJson(plain.encoded()).object().keys(),
             (QStringList{"apiBaseURL", "bearerToken", "deviceID", "deviceSecret", "orgID", "projectID"}));
    QVERIFY(!plain.encoded().contains(' '));
    QCOMPARE(DeviceCredentials::decode(plain.encoded()), plain);
    QCOMPARE(DeviceCredentials::decode(R"({"apiBaseURL":"a","bearerToken":"b","orgID":"o","projectID":"p",
        "deviceID":"d","deviceSecret":"s","refreshToken":null,"extra":1})")
                 .refreshToken,
             std::nullopt);

    DeviceCredentials c = CredentialsBuilder().build();
    c.authBaseURL = QStringLiteral("https://auth.localhost");
    c.authKind = QStringLiteral("oauth-gateway");
    c.refreshToken = QStringLiteral("refresh");
    c.tokenExpiresAt = 1767225600.25;
    c.oauthClientID = QStringLiteral("client");
    QCOMPARE(QJsonDocument::fromJson(c.encoded()).object().size(), 11);
    QCOMPARE(DeviceCredentials::decode(c.encoded()), c);

    PendingClaimState p{QStringLiteral("claim-1"), QStringLiteral("https://localhost:8443"), QStringLiteral("Büro-Mac"),
                        1767225600.5};
    QCOMPARE(PendingClaimState::decode(p.encoded()), p);

    const BrokerGrant grant = BrokerGrant::decode("{\"accessToken\":\"bg1.x\",\"refreshToken\":\"sg1." + k43.toLatin1()
                                                  + "\",\"expiresAt\":9007199254740993}");
    QCOMPARE(grant.expiresAt, Q_INT64_C(9007199254740993));
    QVERIFY(grant.encoded().contains("9007199254740993"));
    QCOMPARE(BrokerGrant::decode(grant.encoded()), grant);
}

void CredentialRecordsTest::brokerGrantValidityRules_data()
{
    QTest::addColumn<QString>("access");
    QTest::addColumn<QString>("refresh");
    QTest::addColumn<qint64>("expiresAt");
    QTest::addColumn<bool>("valid");
    QTest::newRow("valid") << "bg1.Ab-_09"
                           << "sg1." + k43 << qint64(1) << true;
    QTest::newRow("refresh 42") << "bg1.x"
                                << "sg1." + k43.left(42) << qint64(1) << false;
    QTest::newRow("refresh 44") << "bg1.x"
                                << "sg1." + k43 + "a" << qint64(1) << false;
    QTest::newRow("refresh trailing newline") << "bg1.x"
                                              << "sg1." + k43 + "\n"
                                              << qint64(1) << false;
    QTest::newRow("refresh wrong prefix") << "bg1.x"
                                          << "sg2." + k43 << qint64(1) << false;
    QTest::newRow("access empty body") << "bg1."
                                       << "sg1." + k43 << qint64(1) << false;
    QTest::newRow("access plus") << "bg1.a+b"
                                 << "sg1." + k43 << qint64(1) << false;
    QTest::newRow("access slash") << "bg1.a/b"
                                  << "sg1." + k43 << qint64(1) << false;
    QTest::newRow("access trailing newline") << "bg1.ab\n"
                                             << "sg1." + k43 << qint64(1) << false;
    QTest::newRow("access 16384 bytes") << "bg1." + QString(16380, 'z') << "sg1." + k43 << qint64(1) << true;
    QTest::newRow("access 16385 bytes") << "bg1." + QString(16381, 'z') << "sg1." + k43 << qint64(1) << false;
    QTest::newRow("expires 0") << "bg1.x"
                               << "sg1." + k43 << qint64(0) << false;
    QTest::newRow("expires negative") << "bg1.x"
                                      << "sg1." + k43 << qint64(-5) << false;
}

void CredentialRecordsTest::brokerGrantValidityRules()
{
    QFETCH(QString, access);
    QFETCH(QString, refresh);
    QFETCH(qint64, expiresAt);
    QFETCH(bool, valid);
    QCOMPARE((BrokerGrant{access, refresh, expiresAt}.isValid()), valid);
}

void CredentialRecordsTest::decodingFailures_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<qint64>("code");
    QTest::newRow("not json") << QByteArray("{oops") << qint64(4864);
    QTest::newRow("array") << QByteArray("[]") << qint64(4864);
    QTest::newRow("missing refresh") << QByteArray(R"({"accessToken":"bg1.x","expiresAt":1})") << qint64(4865);
    QTest::newRow("expires as text") << QByteArray(R"({"accessToken":"bg1.x","refreshToken":"r","expiresAt":"1"})")
                                     << qint64(4864);
    QTest::newRow("expires fraction") << QByteArray(R"({"accessToken":"bg1.x","refreshToken":"r","expiresAt":1.5})")
                                      << qint64(4864);
    QTest::newRow("token as number") << QByteArray(R"({"accessToken":5,"refreshToken":"r","expiresAt":1})")
                                     << qint64(4864);
}

void CredentialRecordsTest::decodingFailures()
{
    QFETCH(QByteArray, json);
    QFETCH(qint64, code);
    try {
        BrokerGrant::decode(json);
        QFAIL("decoded");
    } catch (const DecodingError &error) {
        QCOMPARE(error.code(), code);
        QVERIFY(!error.localizedDescription().isEmpty());
    }
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CredentialRecordsTest)
#include "tst_credential_records.moc"
