#include "commands/command_acknowledgement.h"
#include "commands/sorted_keys_json.h"
#include "support/process_runner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

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

class CommandAcknowledgementTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
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

        const auto refused = CommandAcknowledgement::make("c1", "d1", AckStatus::ignored, result,
                                                          kApplicationCommandRefusedMessage.toString());
        QCOMPARE(refused.message, u"command protocol or target validation failed"_s);

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

    // make() keys by command, device, status and payload (pinned above): the message never counts.
    void idempotencyKeyIgnoresTheMessage()
    {
        const QString expected =
            CommandAcknowledgement::idempotencyKeyFor("c", "d", AckStatus::failed, applicationPayload());
        const KillExecutionResult result{false, u"first wording"_s, applicationPayload()};
        const KillExecutionResult reworded{false, u"other wording"_s, applicationPayload()};
        QCOMPARE(CommandAcknowledgement::make("c", "d", AckStatus::failed, result).idempotencyKey, expected);
        QCOMPARE(CommandAcknowledgement::make("c", "d", AckStatus::failed, reworded, u"override"_s).idempotencyKey,
                 expected);
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

QTEST_GUILESS_MAIN(CommandAcknowledgementTest)
#include "tst_command_acknowledgement.moc"
