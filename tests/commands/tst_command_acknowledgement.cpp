#include "commands/command_acknowledgement.h"
#include "commands/sorted_keys_json.h"
#include "support/process_runner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

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
    const ProcessResult result = runPython(QStringLiteral(
        "import hashlib, json, sys\n"
        "p = json.loads(sys.stdin.read())\n"
        "t = json.dumps(p, sort_keys=True, separators=(',', ':'), ensure_ascii=False).replace('/', '\\\\/')\n"
        "print(hashlib.sha256(t.encode('utf-8')).hexdigest()[:16])\n"), {},
        QJsonDocument(payload).toJson());
    return QString::fromUtf8(result.standardOutput).trimmed();
}

}  // namespace

class CommandAcknowledgementTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusTexts();
    void messageChoice();
    void idempotencyKeyMatchesAnIndependentSerialiser_data();
    void idempotencyKeyMatchesAnIndependentSerialiser();
    void idempotencyKeyDependsOnlyOnItsInputs();
    void keyOrderOfThePlatformSerialiser();
};

void CommandAcknowledgementTest::statusTexts()
{
    const QList<AckStatus> all = {AckStatus::received, AckStatus::executed, AckStatus::failed, AckStatus::ignored};
    const QStringList texts = {"received", "executed", "failed", "ignored"};
    for (int i = 0; i < all.size(); ++i) {
        QCOMPARE(ackStatusText(all.at(i)), texts.at(i));
        QCOMPARE(ackStatusFromText(texts.at(i)), std::optional(all.at(i)));
    }
    QVERIFY(!ackStatusFromText(QStringLiteral("Executed")));
}

void CommandAcknowledgementTest::messageChoice()
{
    const KillExecutionResult result{true, QStringLiteral("Application stopped."), applicationPayload()};

    const auto bare = CommandAcknowledgement::make("c1", "d1", AckStatus::received, std::nullopt);
    QCOMPARE(bare.message, QStringLiteral("received"));
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
    QCOMPARE(refused.message, QStringLiteral("command protocol or target validation failed"));

    // Cleaned like a log text and cut to 4000 user-perceived characters.
    const auto cleaned = CommandAcknowledgement::make("c1", "d1", AckStatus::failed, std::nullopt,
                                                      QStringLiteral("  line one\nline\ttwo\u007f \n"));
    QCOMPARE(cleaned.message, QStringLiteral("line onelinetwo"));
    const QString emoji = QStringLiteral("\U0001F44D\U0001F3FD");  // one character, four UTF-16 units
    const auto longMessage = CommandAcknowledgement::make("c1", "d1", AckStatus::failed, std::nullopt,
                                                          emoji.repeated(4100));
    QCOMPARE(longMessage.message, emoji.repeated(4000));
}

void CommandAcknowledgementTest::idempotencyKeyMatchesAnIndependentSerialiser_data()
{
    QTest::addColumn<QJsonObject>("payload");
    QTest::newRow("empty") << QJsonObject();
    QTest::newRow("application command") << applicationPayload();
    QTest::newRow("instance command") << QJsonObject{{"instance_id", "local_" + QString(40, 'a')},
                                                     {"product", "codex"}, {"kind", "process"}, {"all_stopped", false}};
    QTest::newRow("escapes and non-ASCII") << QJsonObject{{"path", "/Applications/Claude.app"},
                                                          {"quote", "say \"hi\"\\ \u00e9\u4e2d\U0001F600"},
                                                          {"control", QStringLiteral("a\u0001b\tc\n\u001f\u007f")},
                                                          {"nested", QJsonObject{{"z", 1}, {"a", QJsonArray{1, 2.5, -3}}}},
                                                          {"nothing", QJsonValue::Null},
                                                          {"a_b", 1}, {"ab", 2}, {"a", 3}, {"a_", 4}};
}

void CommandAcknowledgementTest::idempotencyKeyMatchesAnIndependentSerialiser()
{
    QFETCH(QJsonObject, payload);
    const QString expectedDigest = pythonDigest(payload);
    QCOMPARE(expectedDigest.size(), 16);
    const QString key = CommandAcknowledgement::idempotencyKeyFor("cmd-9", "dev-3", AckStatus::executed, payload);
    QCOMPARE(key, QStringLiteral("ack-cmd-9-dev-3-executed-") + expectedDigest);
}

void CommandAcknowledgementTest::idempotencyKeyDependsOnlyOnItsInputs()
{
    const KillExecutionResult result{false, QStringLiteral("first wording"), applicationPayload()};
    const KillExecutionResult reworded{false, QStringLiteral("other wording"), applicationPayload()};
    const auto a = CommandAcknowledgement::make("c", "d", AckStatus::failed, result);
    const auto b = CommandAcknowledgement::make("c", "d", AckStatus::failed, reworded, QStringLiteral("override"));
    QCOMPARE(a.idempotencyKey, b.idempotencyKey);  // the message is not part of the key
    QVERIFY(a.idempotencyKey != CommandAcknowledgement::make("c", "d", AckStatus::executed, result).idempotencyKey);
    QVERIFY(a.idempotencyKey != CommandAcknowledgement::make("c2", "d", AckStatus::failed, result).idempotencyKey);
    QVERIFY(a.idempotencyKey != CommandAcknowledgement::make("c", "d2", AckStatus::failed, result).idempotencyKey);
    QJsonObject changed = applicationPayload();
    changed.insert("all_stopped", false);
    QVERIFY(a.idempotencyKey
            != CommandAcknowledgement::make("c", "d", AckStatus::failed, KillExecutionResult{false, {}, changed})
                   .idempotencyKey);
    // The same payload built in another insertion order gives the same key.
    QJsonObject reordered;
    const QStringList keys = applicationPayload().keys();
    for (auto it = keys.crbegin(); it != keys.crend(); ++it)
        reordered.insert(*it, applicationPayload().value(*it));
    QCOMPARE(CommandAcknowledgement::idempotencyKeyFor("c", "d", AckStatus::failed, reordered), a.idempotencyKey);
}

void CommandAcknowledgementTest::keyOrderOfThePlatformSerialiser()
{
    // Numeric runs compare by value and case does not decide before the rest of the text.
    QCOMPARE(sortedKeysJSONString(QJsonObject{{"k10", 1}, {"k9", 2}, {"B", 3}, {"a", 4}}),
             std::optional<QString>(QStringLiteral("{\"a\":4,\"B\":3,\"k9\":2,\"k10\":1}")));
    // Keys equal but for case still get one fixed order.
    QVERIFY(sortedKeysLess(QStringLiteral("A"), QStringLiteral("a")) != sortedKeysLess(QStringLiteral("a"), QStringLiteral("A")));
    QCOMPARE(sortedKeysJSONString(QJsonArray{"a/b", true, QJsonValue::Null}),
             std::optional<QString>(QStringLiteral("[\"a\\/b\",true,null]")));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandAcknowledgementTest)
#include "tst_command_acknowledgement.moc"
