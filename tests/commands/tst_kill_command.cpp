#include "commands/kill_command.h"

#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

QByteArray envelopeWith(const QByteArray &commandFields)
{
    return QByteArrayLiteral("{\"command\":{") + commandFields + QByteArrayLiteral("}}");
}

const QByteArray kRequired = QByteArrayLiteral(
    "\"id\":\"cmd-1\",\"protocol_version\":2,\"action\":\"terminate_agent_instance\",\"app_key\":\"claude\","
    "\"target_bundle_ids\":[]");

}  // namespace

class KillCommandTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decodesAFullCommand()
    {
        const QByteArray body = envelopeWith(
            "\"id\":\"c7\",\"protocol_version\":1,\"action\":\"terminate_application\",\"app_key\":\"chatgpt\","
            "\"product\":\"chatgpt\",\"instance_kind\":\"application\",\"target_instance_id\":\"local_ab\","
            "\"target_bundle_ids\":[\"com.openai.chat\",\"com.openai.chat\"],\"reason\":\"policy\","
            "\"target_surface\":\"desktop\",\"metadata\":{\"a\":\"1\",\"b\":\"2\"},\"unknown\":[1,2]");
        QString error;
        const auto envelope = KillCommandEnvelope::decode(body, &error);
        QVERIFY2(envelope, qPrintable(error));
        const KillCommand &c = envelope->command;
        QCOMPARE(c.id, u"c7"_s);
        QCOMPARE(c.protocolVersion, 1);
        QCOMPARE(c.action, u"terminate_application"_s);
        QCOMPARE(c.appKey, u"chatgpt"_s);
        QCOMPARE(c.product, std::optional<QString>(u"chatgpt"_s));
        QCOMPARE(c.instanceKind, std::optional<QString>(u"application"_s));
        QCOMPARE(c.targetInstanceID, std::optional<QString>(u"local_ab"_s));
        QCOMPARE(c.targetBundleIDs, (QStringList{u"com.openai.chat"_s, u"com.openai.chat"_s}));
        QCOMPARE(c.reason, u"policy"_s);
        QCOMPARE(c.targetSurface, u"desktop"_s);
        QVERIFY(c.metadata);
        QCOMPARE(c.metadata->value(u"b"_s), u"2"_s);
    }

    void optionalFieldsAreLenient_data()
    {
        QTest::addColumn<QByteArray>("extra");
        QTest::newRow("absent") << QByteArray();
        QTest::newRow("null") << QByteArray(",\"product\":null,\"instance_kind\":null,\"target_instance_id\":null,"
                                            "\"reason\":null,\"target_surface\":null,\"metadata\":null");
        QTest::newRow("wrong types") << QByteArray(",\"product\":5,\"instance_kind\":[],\"target_instance_id\":{},"
                                                   "\"reason\":true,\"target_surface\":1.5,\"metadata\":\"x\"");
        QTest::newRow("metadata with a non-string value") << QByteArray(",\"metadata\":{\"a\":\"1\",\"b\":2}");
    }

    void optionalFieldsAreLenient()
    {
        QFETCH(QByteArray, extra);
        const auto envelope = KillCommandEnvelope::decode(envelopeWith(kRequired + extra));
        QVERIFY(envelope);
        const KillCommand &c = envelope->command;
        QVERIFY(!c.product);
        QVERIFY(!c.instanceKind);
        QVERIFY(!c.targetInstanceID);
        QVERIFY(!c.metadata);
        QCOMPARE(c.reason, QString());
        QCOMPARE(c.targetSurface, QString());
    }

    void requiredFieldsAreStrict_data()
    {
        // The field rules themselves are the shared reader's; these rows check which fields are
        // required, of what type, and the texts the poll loop logs.
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QByteArray v = "\"protocol_version\":1,\"action\":\"a\",\"app_key\":\"k\",\"target_bundle_ids\":[]";
        QTest::newRow("not JSON") << QByteArray("{\"command\":")
                                  << u"command response is not JSON: unterminated object"_s;
        QTest::newRow("array at top") << QByteArray("[]") << u"command response is not a JSON object"_s;
        QTest::newRow("no command") << QByteArray("{\"cmd\":{}}") << u"\"command\" is missing or not an object"_s;
        QTest::newRow("command null") << QByteArray("{\"command\":null}")
                                      << u"\"command\" is missing or not an object"_s;
        QTest::newRow("missing id") << envelopeWith(v) << u"command field \"id\" is missing or not a string"_s;
        QTest::newRow("id null") << envelopeWith("\"id\":null," + v)
                                 << u"command field \"id\" is missing or not a string"_s;
        QTest::newRow("version fractional") << envelopeWith(
            "\"id\":\"i\",\"protocol_version\":1.5,\"action\":\"a\",\"app_key\":\"k\",\"target_bundle_ids\":[]")
                                            << u"command field \"protocol_version\" is missing or not an integer"_s;
        QTest::newRow("missing action") << envelopeWith(
            "\"id\":\"i\",\"protocol_version\":1,\"app_key\":\"k\",\"target_bundle_ids\":[]")
                                        << u"command field \"action\" is missing or not a string"_s;
        QTest::newRow("missing app key") << envelopeWith(
            "\"id\":\"i\",\"protocol_version\":1,\"action\":\"a\",\"target_bundle_ids\":[]")
                                         << u"command field \"app_key\" is missing or not a string"_s;
        QTest::newRow("bundle id not a string")
            << envelopeWith("\"id\":\"i\",\"protocol_version\":1,\"action\":\"a\",\"app_key\":\"k\",\"target_bundle_"
                            "ids\":[\"x\",1]")
            << u"command field \"target_bundle_ids\" is missing or not a list of strings"_s;
    }

    void requiredFieldsAreStrict()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QString reported;
        QVERIFY(!KillCommandEnvelope::decode(body, &reported));
        QCOMPARE(reported, error);
    }

    void encodingRoundTrips()
    {
        // Integral numbers written with a fraction are still integers.
        const auto decoded = KillCommandEnvelope::decode(envelopeWith(
            "\"id\":\"i\",\"protocol_version\":2.0,\"action\":\"a\",\"app_key\":\"k\",\"target_bundle_ids\":[\"b\"],"
            "\"metadata\":{\"x\":\"y\"},\"product\":\"p\""));
        QVERIFY(decoded);
        QCOMPARE(decoded->command.protocolVersion, 2);
        const QJsonObject encoded = decoded->toJSON();
        // Absent optional fields are omitted, not null.
        const QJsonObject command = encoded.value(u"command"_s).toObject();
        QVERIFY(!command.contains(u"instance_kind"_s));
        QVERIFY(!command.contains(u"target_instance_id"_s));
        const auto again = KillCommandEnvelope::decode(QJsonDocument(encoded).toJson());
        QVERIFY(again);
        QVERIFY(again->command == decoded->command);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(KillCommandTest)
#include "tst_kill_command.moc"
