// The command protocol's pure parts: decoding the envelope, validating what it targets, and the
// acknowledgement sent back (its idempotency key cross-checked against python3's json).
#include "commands/command_acknowledgement.h"
#include "commands/command_validation.h"
#include "commands/kill_command.h"
#include "commands/sorted_keys_json.h"
#include "support/process_runner.h"

#include <QJsonArray>
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

const QStringList kClaudeIDs = {u"com.anthropic.claude"_s, u"com.anthropic.claudefordesktop"_s,
                                u"com.anthropic.claudedesktop"_s};
const QStringList kOpenAIIDs = {u"com.openai.chatgpt"_s, u"com.openai.chat"_s, u"com.openai.codex"_s};

QString instanceID(const QString &prefix, int digits, QChar digit = u'a')
{
    return prefix + QString(digits, digit);
}

QJsonObject applicationPayload()
{
    return QJsonObject{
        {"app_key", "claude"},
        {"requested_bundle_ids", QJsonArray{"com.anthropic.claude", "com.anthropic.claudedesktop"}},
        {"terminated_bundle_ids", QJsonArray{"com.anthropic.claude"}},
        {"forced_bundle_ids", QJsonArray{}},
        {"already_stopped_bundle_ids", QJsonArray{"com.anthropic.claudedesktop"}},
        {"signature_rejected_bundle_ids", QJsonArray{}},
        {"all_stopped", true},
    };
}

// The digest as Python's json module writes the same object (sorted keys, compact, solidus
// escaped the way the platform serialiser does).
QString pythonDigest(const QJsonObject &payload)
{
    const ProcessResult result = runPython(
        QStringLiteral(
            "import hashlib, json, sys\n"
            "p = json.loads(sys.stdin.read())\n"
            "t = json.dumps(p, sort_keys=True, separators=(',', ':'), ensure_ascii=False).replace('/', '\\\\/')\n"
            "print(hashlib.sha256(t.encode('utf-8')).hexdigest()[:16])\n"),
        {}, QJsonDocument(payload).toJson());
    return QString::fromUtf8(result.standardOutput).trimmed();
}

}  // namespace

class CommandProtocolTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decodesAFullCommand()
    {
        const QByteArray body = envelopeWith(
            "\"id\":\"c7\",\"protocol_version\":1.0,\"action\":\"terminate_application\",\"app_key\":\"chatgpt\","
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
        const auto again = KillCommandEnvelope::decode(QJsonDocument(envelope->toJSON()).toJson());
        QVERIFY(again && again->command == c);
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
        // Absent optional fields are omitted when encoded, not written as null.
        const QJsonObject encoded = envelope->toJSON().value(u"command"_s).toObject();
        for (const char *key : {"product", "instance_kind", "target_instance_id", "metadata"})
            QVERIFY2(!encoded.contains(QLatin1String(key)), key);
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

    void validatedTarget_data()
    {
        QTest::addColumn<qint64>("version");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("appKey");
        QTest::addColumn<QStringList>("bundleIDs");
        QTest::addColumn<QString>("expectedKey");  // null: refused

        const QString terminate = u"terminate_application"_s;
        QTest::newRow("claude, padded and mixed case")
            << qint64(1) << u" Terminate_Application "_s << u"CLAUDE"_s
            << QStringList{"COM.ANTHROPIC.CLAUDEDESKTOP", " com.anthropic.claude\n", "com.anthropic.ClaudeForDesktop"}
            << u"claude"_s;
        QTest::newRow("claude, incomplete set")
            << qint64(1) << terminate << u"claude"_s << QStringList{"com.anthropic.claude"} << QString();
        QTest::newRow("claude, one extra")
            << qint64(1) << terminate << u"claude"_s << (kClaudeIDs + QStringList{"com.openai.codex"}) << QString();
        QTest::newRow("chatgpt with a duplicate")
            << qint64(1) << terminate << u"chatgpt"_s << (kOpenAIIDs + QStringList{"com.openai.chat"}) << u"chatgpt"_s;
        QTest::newRow("codex") << qint64(1) << terminate << u"codex"_s << QStringList{"com.openai.codex"} << u"codex"_s;
        QTest::newRow("codex with chatgpt's set") << qint64(1) << terminate << u"codex"_s << kOpenAIIDs << QString();
        QTest::newRow("unknown key") << qint64(1) << terminate << u"cursor"_s << QStringList{} << QString();
        QTest::newRow("protocol 2") << qint64(2) << terminate << u"claude"_s << kClaudeIDs << QString();
        QTest::newRow("instance action") << qint64(1) << u"terminate_agent_instance"_s << u"claude"_s << kClaudeIDs
                                         << QString();
        QTest::newRow("protocol 0") << qint64(0) << terminate << u"claude"_s << kClaudeIDs << QString();
    }

    void validatedTarget()
    {
        QFETCH(qint64, version);
        QFETCH(QString, action);
        QFETCH(QString, appKey);
        QFETCH(QStringList, bundleIDs);
        QFETCH(QString, expectedKey);
        const auto target = CommandValidation::validatedTarget(version, action, appKey, bundleIDs);
        QCOMPARE(target.has_value(), !expectedKey.isNull());
        if (target)
            QVERIFY(*target == KillTargetCatalog::byKey().value(expectedKey));
    }

    void instanceIDShape_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("valid");
        QTest::newRow("upper case prefix and digits") << instanceID("LOCAL_", 64, u'F') << true;
        QTest::newRow("32 digits") << instanceID("local_", 32) << true;
        QTest::newRow("31 digits") << instanceID("local_", 31) << false;
        QTest::newRow("65 digits") << instanceID("local_", 65) << false;
        QTest::newRow("a g among the digits") << QString(instanceID("local_", 40)).replace(20, 1, u'g') << false;
        QTest::newRow("leading blank") << " " + instanceID("local_", 40) << false;
        QTest::newRow("trailing newline") << instanceID("local_", 40) + "\n" << false;
        QTest::newRow("no prefix") << QString(40, u'a') << false;
        QTest::newRow("prefix only") << u"local_"_s << false;
        QTest::newRow("full-width digits") << instanceID("local_", 40, QChar(0xFF10)) << false;
    }

    void instanceIDShape()
    {
        QFETCH(QString, id);
        QFETCH(bool, valid);
        QCOMPARE(CommandValidation::isValidLocalInstanceID(id), valid);
        const auto product = CommandValidation::validatedCommandProduct(
            2, u"terminate_agent_instance"_s, u"claude-code"_s, u"process"_s, u"claude"_s, id, {});
        QCOMPARE(product.has_value(), valid);
    }

    void validatedCommandProduct_data()
    {
        QTest::addColumn<qint64>("version");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("product");  // null: absent
        QTest::addColumn<QString>("kind");     // null: absent
        QTest::addColumn<QString>("appKey");
        QTest::addColumn<QStringList>("bundleIDs");
        QTest::addColumn<QString>("expected");  // "key/kind", null: refused

        // Protocol 2 and the instance action unless given.
        const auto row = [](const char *name, const QString &product, const QString &kind, const QString &appKey,
                            const QStringList &bundleIDs, const QString &expected, qint64 version = 2,
                            const QString &action = u"terminate_agent_instance"_s) {
            QTest::newRow(name) << version << action << product << kind << appKey << bundleIDs << expected;
        };
        row("claude code", u"claude-code"_s, u"process"_s, u"claude"_s, {}, u"claude-code/process"_s);
        row("claude code with a bundle id", u"claude-code"_s, u"process"_s, u"claude"_s, {"com.anthropic.claude"}, {});
        row("codex application, duplicate id", u"codex"_s, u"application"_s, u"codex"_s,
            {"com.openai.codex", "com.openai.codex"}, u"codex/application"_s);
        row("codex application, chatgpt key", u"codex"_s, u"application"_s, u"chatgpt"_s, {"com.openai.codex"}, {});
        row("codex application, no id", u"codex"_s, u"application"_s, u"codex"_s, {}, {});
        row("codex process, padded", u" CODEX "_s, u"Process\n"_s, u"Codex"_s, {}, u"codex/process"_s, 2,
            u" Terminate_Agent_Instance"_s);
        row("chatgpt", u"chatgpt"_s, u"application"_s, u"chatgpt"_s, {"com.openai.chat"}, u"chatgpt/application"_s);
        row("chatgpt with two ids", u"chatgpt"_s, u"application"_s, u"chatgpt"_s,
            {"com.openai.chat", "com.openai.chatgpt"}, {});
        row("chatgpt with a claude id", u"chatgpt"_s, u"application"_s, u"chatgpt"_s, {"com.anthropic.claude"}, {});
        row("claude desktop", u"claude-desktop"_s, u"application"_s, u"claude"_s, {"COM.ANTHROPIC.CLAUDEFORDESKTOP"},
            u"claude-desktop/application"_s);
        row("claude desktop with an openai id", u"claude-desktop"_s, u"application"_s, u"claude"_s,
            {"com.openai.chat"}, {});
        row("claude code as application", u"claude-code"_s, u"application"_s, u"claude"_s, {"com.anthropic.claude"},
            {});
        row("product absent", QString(), u"process"_s, u"claude"_s, {}, {});
        row("kind absent", u"claude-code"_s, QString(), u"claude"_s, {}, {});
        row("application action", u"claude-code"_s, u"process"_s, u"claude"_s, {}, {}, 2, u"terminate_application"_s);
        row("protocol 1", u"claude-code"_s, u"process"_s, u"claude"_s, {}, {}, 1);
    }

    void validatedCommandProduct()
    {
        QFETCH(qint64, version);
        QFETCH(QString, action);
        QFETCH(QString, product);
        QFETCH(QString, kind);
        QFETCH(QString, appKey);
        QFETCH(QStringList, bundleIDs);
        QFETCH(QString, expected);
        const auto optional = [](const QString &text) {
            return text.isNull() ? std::nullopt : std::optional<QString>(text);
        };
        const auto result = CommandValidation::validatedCommandProduct(
            version, action, optional(product), optional(kind), appKey, instanceID("local_", 48), bundleIDs);
        QCOMPARE(result.has_value(), !expected.isNull());
        if (result)
            QCOMPARE(result->key + u'/' + result->kind, expected);
        // Without an instance id nothing is accepted.
        QVERIFY(!CommandValidation::validatedCommandProduct(version, action, optional(product), optional(kind), appKey,
                                                            std::nullopt, bundleIDs));
    }

    void messageChoice()
    {
        const KillExecutionResult result{true, u"Application stopped."_s, applicationPayload()};

        const auto bare = CommandAcknowledgement::make("c1", "d1", AckStatus::received, std::nullopt);
        QCOMPARE(bare.message, u"received"_s);
        QCOMPARE(bare.payload, QJsonObject());
        const QJsonObject body = bare.toJSON();
        QCOMPARE(QJsonDocument(body).toJson(QJsonDocument::Compact),
                 QByteArray("{\"idempotency_key\":\"" + bare.idempotencyKey.toUtf8()
                            + "\",\"message\":\"received\",\"payload\":{},\"status\":\"received\"}"));

        const auto withResult = CommandAcknowledgement::make("c1", "d1", AckStatus::executed, result);
        QCOMPARE(withResult.message, result.message);
        QCOMPARE(withResult.payload, result.payload);
        // Keyed by command, device, status and payload (pinned below): the message never counts.
        QCOMPARE(withResult.idempotencyKey,
                 CommandAcknowledgement::idempotencyKeyFor("c1", "d1", AckStatus::executed, result.payload));

        const auto refused = CommandAcknowledgement::make("c1", "d1", AckStatus::ignored, result,
                                                          kApplicationCommandRefusedMessage.toString());
        QCOMPARE(refused.message, u"command protocol or target validation failed"_s);
        QCOMPARE(refused.idempotencyKey,
                 CommandAcknowledgement::idempotencyKeyFor("c1", "d1", AckStatus::ignored, result.payload));

        // Cleaned like a log text and cut to 4000 user-perceived characters.
        const auto cleaned = CommandAcknowledgement::make("c1", "d1", AckStatus::failed, std::nullopt,
                                                          u"  line one\nline\ttwo\u007f \n"_s);
        QCOMPARE(cleaned.message, u"line onelinetwo"_s);
        const QString emoji = u"\U0001F44D\U0001F3FD"_s;  // one character, four UTF-16 units
        const auto longMessage =
            CommandAcknowledgement::make("c1", "d1", AckStatus::failed, std::nullopt, emoji.repeated(4100));
        QCOMPARE(longMessage.message, emoji.repeated(4000));
    }

    void idempotencyKeyMatchesAnIndependentSerialiser_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::newRow("empty") << QJsonObject();
        QTest::newRow("application command") << applicationPayload();
        QTest::newRow("instance command") << QJsonObject{{"instance_id", "local_" + QString(40, 'a')},
                                                         {"product", "codex"},
                                                         {"kind", "process"},
                                                         {"all_stopped", false}};
        QTest::newRow("escapes and non-ASCII")
            << QJsonObject{{"path", "/Applications/Claude.app"},
                           {"quote", "say \"hi\"\\ \u00e9\u4e2d\U0001F600"},
                           {"control", u"a\u0001b\tc\n\u001f\u007f"_s},
                           {"nested", QJsonObject{{"z", 1}, {"a", QJsonArray{1, 2.5, -3}}}},
                           {"nothing", QJsonValue::Null},
                           {"a_b", 1},
                           {"ab", 2},
                           {"a", 3},
                           {"a_", 4}};
    }

    void idempotencyKeyMatchesAnIndependentSerialiser()
    {
        QFETCH(QJsonObject, payload);
        const QString expectedDigest = pythonDigest(payload);
        QCOMPARE(expectedDigest.size(), 16);
        const QString key = CommandAcknowledgement::idempotencyKeyFor("cmd-9", "dev-3", AckStatus::executed, payload);
        QCOMPARE(key, u"ack-cmd-9-dev-3-executed-"_s + expectedDigest);
    }

    void keyOrderOfThePlatformSerialiser()
    {
        // Numeric runs compare by value and case does not decide before the rest of the text.
        QCOMPARE(sortedKeysJSONString(QJsonObject{{"k10", 1}, {"k9", 2}, {"B", 3}, {"a", 4}}),
                 std::optional<QString>(u"{\"a\":4,\"B\":3,\"k9\":2,\"k10\":1}"_s));
        // Keys equal but for case still get one fixed order.
        QVERIFY(sortedKeysLess(u"A"_s, u"a"_s) != sortedKeysLess(u"a"_s, u"A"_s));
        QCOMPARE(sortedKeysJSONString(QJsonArray{"a/b", true, QJsonValue::Null}),
                 std::optional<QString>(u"[\"a\\/b\",true,null]"_s));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandProtocolTest)
#include "tst_command_protocol.moc"
