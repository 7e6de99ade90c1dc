// The command protocol: decoding the envelope, validating what it targets, the acknowledgement
// sent back (its idempotency key cross-checked against python3's json), command ids as path
// segments, and the command journal on a real file system (steps survive a new instance, damage
// is skipped and reported, bounds hold). Unusable journals: tst_command_journal.
#include "commands/command_acknowledgement.h"
#include "commands/command_id.h"
#include "commands/command_journal.h"
#include "commands/command_validation.h"
#include "commands/kill_command.h"
#include "support/process_runner.h"
#include "support/sorted_keys_json.h"
#include "support/test_files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

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

JournalOutcome outcome(AckStatus status, const QString &id)
{
    const QJsonObject payload{{u"app_key"_s, u"codex"_s}, {u"all_stopped"_s, true}};
    return JournalOutcome{status, u"Target application termination confirmed."_s, payload,
                          CommandAcknowledgement::idempotencyKeyFor(id, u"device-1"_s, status, payload), u"device-1"_s};
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
        // A valid command with one field replaced, or dropped when the value is undefined.
        const auto with = [](const char *field, const QJsonValue &value) {
            QJsonObject command{{"id", "i"},
                                {"protocol_version", 1},
                                {"action", "a"},
                                {"app_key", "k"},
                                {"target_bundle_ids", QJsonArray{}}};
            command.insert(QLatin1String(field), value);
            if (value.isUndefined())
                command.remove(QLatin1String(field));
            return QJsonDocument(QJsonObject{{"command", command}}).toJson(QJsonDocument::Compact);
        };
        const auto field = [](const char *name, const char *type) {
            return u"command field \"%1\" is missing or not %2"_s.arg(QLatin1String(name), QLatin1String(type));
        };
        QTest::newRow("not JSON") << QByteArray("{\"command\":")
                                  << u"command response is not JSON: unterminated object"_s;
        QTest::newRow("array at top") << QByteArray("[]") << u"command response is not a JSON object"_s;
        QTest::newRow("no command") << QByteArray("{\"cmd\":{}}") << u"\"command\" is missing or not an object"_s;
        QTest::newRow("command null") << QByteArray("{\"command\":null}")
                                      << u"\"command\" is missing or not an object"_s;
        QTest::newRow("missing id") << with("id", QJsonValue::Undefined) << field("id", "a string");
        QTest::newRow("id null") << with("id", QJsonValue::Null) << field("id", "a string");
        QTest::newRow("version fractional") << with("protocol_version", 1.5) << field("protocol_version", "an integer");
        QTest::newRow("missing action") << with("action", QJsonValue::Undefined) << field("action", "a string");
        QTest::newRow("missing app key") << with("app_key", QJsonValue::Undefined) << field("app_key", "a string");
        QTest::newRow("bundle id not a string")
            << with("target_bundle_ids", QJsonArray{"x", 1}) << field("target_bundle_ids", "a list of strings");
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
        row("claude desktop with an openai id", u"claude-desktop"_s, u"application"_s, u"claude"_s, {"com.openai.chat"},
            {});
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

    void stepsSurviveANewInstance()
    {
        QTemporaryDir home;
        const QString dir = home.filePath(u"VeltroMornix/Commands"_s);
        {
            CommandJournal journal(dir);
            QCOMPARE(journal.open(), QStringList());
            QVERIFY(journal.recordReceived(u"a"_s));
            QVERIFY(journal.recordIntent(u"a"_s));
            QVERIFY(journal.recordOutcome(u"a"_s, outcome(AckStatus::executed, u"a"_s)));
            QVERIFY(journal.recordReceived(u"b"_s));
            QVERIFY(journal.recordOutcome(u"b"_s, outcome(AckStatus::ignored, u"b"_s)));
            QVERIFY(journal.recordSettled(u"b"_s));
            QVERIFY(journal.recordReceived(u"c"_s));
        }
        QCOMPARE(modeOf(dir), mode_t(0700));
        QCOMPARE(modeOf(dir + u"/journal"_s), mode_t(0600));

        CommandJournal again(dir);
        QCOMPARE(again.open(), QStringList());
        const auto a = again.entry(u"a"_s);
        QVERIFY(a && a->intent && !a->settled && a->receivedAt > 0);
        QCOMPARE(*a->outcome, outcome(AckStatus::executed, u"a"_s));
        QVERIFY(again.entry(u"b"_s)->settled);
        const auto c = again.entry(u"c"_s);
        QVERIFY(c && !c->intent && !c->outcome);
        QVERIFY(!again.entry(u"d"_s));
        // Only "a" still waits for the service.
        const QList<JournalEntry> pending = again.unsettledOutcomes();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(pending[0].id, u"a"_s);
    }

    void damageIsSkippedReportedAndRewritten()
    {
        QTemporaryDir home;
        const QString dir = home.filePath(u"Commands"_s);
        {
            CommandJournal journal(dir);
            journal.open();
            journal.recordReceived(u"kept-1"_s);
            journal.recordIntent(u"kept-1"_s);
            journal.recordReceived(u"kept-2"_s);
        }
        const QString file = dir + u"/journal"_s;
        QByteArray bytes = readFile(file);
        // A record whose checksum no longer matches (a flipped byte), binary junk, a line that is
        // well formed but names an unsafe id, and a torn last line.
        JournalEntry flipped{u"lost"_s, 1, true, std::nullopt, false};
        QByteArray line = commandJournalLine(flipped);
        line[line.indexOf("lost")] = 'L';
        JournalEntry unsafe{u".."_s, 1, false, std::nullopt, false};
        bytes += line + QByteArray("\x00\xff garbage\n", 11) + commandJournalLine(unsafe)
                 + commandJournalLine(JournalEntry{u"torn"_s, 1, false, std::nullopt, false}).left(30);
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(bytes);
        }

        CommandJournal damaged(dir);
        const QStringList problems = damaged.open();
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].contains(u"4 unreadable line(s)"_s), qPrintable(problems[0]));
        QVERIFY(damaged.entry(u"kept-1"_s)->intent);
        QVERIFY(damaged.entry(u"kept-2"_s));
        QVERIFY(!damaged.entry(u"lost"_s) && !damaged.entry(u"Lost"_s));
        QVERIFY(!damaged.entry(u"torn"_s));
        QCOMPARE(damaged.size(), 2);
        // The file was rewritten from what was kept, and new steps append to it.
        QVERIFY(damaged.recordReceived(u"new"_s));
        CommandJournal clean(dir);
        QCOMPARE(clean.open(), QStringList());
        QCOMPARE(clean.size(), 3);
    }

    // Intact lines (their checksum computed here, independently) whose record has another shape
    // than the journal writes: damage, never half-read.
    void recordsOfAnotherShapeAreDamage_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("kept");
        const QByteArray outcome = R"({"status":"executed","message":"m","payload":{},"key":"k","device":"d"})";
        QTest::newRow("minimal") << QByteArray(R"({"id":"x"})") << true;
        QTest::newRow("every step") << R"({"id":"x","t":5,"intent":true,"outcome":)" + outcome
                                           + R"(,"settled":true,"refused":false})"
                                    << true;
        QTest::newRow("time written 5.0") << QByteArray(R"({"id":"x","t":5.0})") << true;
        QTest::newRow("unknown key") << QByteArray(R"({"id":"x","extra":1})") << false;
        QTest::newRow("no id") << QByteArray(R"({"t":5})") << false;
        QTest::newRow("id a number") << QByteArray(R"({"id":5})") << false;
        QTest::newRow("negative time") << QByteArray(R"({"id":"x","t":-1})") << false;
        QTest::newRow("fractional time") << QByteArray(R"({"id":"x","t":1.5})") << false;
        QTest::newRow("intent as text") << QByteArray(R"({"id":"x","intent":"yes"})") << false;
        QTest::newRow("outcome received") << QByteArray(R"({"id":"x","outcome":{"status":"received","message":"m",)"
                                                        R"("payload":{},"key":"k","device":"d"}})")
                                          << false;
        QTest::newRow("outcome without key") << QByteArray(R"({"id":"x","outcome":{"status":"failed","message":"m",)"
                                                           R"("payload":{},"device":"d"}})")
                                             << false;
        QTest::newRow("payload a list") << QByteArray(R"({"id":"x","outcome":{"status":"failed","message":"m",)"
                                                      R"("payload":[],"key":"k","device":"d"}})")
                                        << false;
        QTest::newRow("an array") << QByteArray(R"([{"id":"x"}])") << false;
    }

    void recordsOfAnotherShapeAreDamage()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, kept);
        const QByteArray checksum = QCryptographicHash::hash(json, QCryptographicHash::Sha256).toHex().left(16);
        const ParsedCommandJournal parsed = parseCommandJournal(checksum + ' ' + json + '\n');
        QCOMPARE(parsed.entries.size(), kept ? 1 : 0);
        QCOMPARE(parsed.damagedLines, kept ? 0 : 1);
        if (kept)
            QCOMPARE(parsed.entries[0].id, u"x"_s);
    }

    void boundedByCountAndAge()
    {
        QTemporaryDir home;
        qint64 now = 1'800'000'000;
        CommandJournal::Limits limits;
        limits.maxEntries = 5;
        limits.maxAgeSeconds = 100;
        limits.now = [&now] { return now; };
        const QString dir = home.filePath(u"Commands"_s);
        CommandJournal journal(dir, limits);
        journal.open();
        for (int i = 0; i < 40; ++i) {
            const QString id = u"c%1"_s.arg(i);
            QVERIFY(journal.recordReceived(id));
            QVERIFY(journal.recordIntent(id));
            QVERIFY(journal.recordOutcome(id, outcome(AckStatus::failed, id)));
            QVERIFY(journal.recordSettled(id));
        }
        QCOMPARE(journal.size(), 5);
        QVERIFY(!journal.entry(u"c34"_s));
        QVERIFY(journal.entry(u"c35"_s));
        // Compaction keeps the file near four lines per kept command, not 160 lines.
        QVERIFY2(readFile(dir + u"/journal"_s).count('\n') <= 5 * 4 + 4,
                 qPrintable(QString::number(readFile(dir + u"/journal"_s).count('\n'))));

        now += 60;
        QVERIFY(journal.recordReceived(u"late"_s));
        now += 50;  // the first five are now 110 s old, "late" 50 s
        QVERIFY(journal.recordReceived(u"later"_s));
        QCOMPARE(journal.size(), 2);
        CommandJournal reread(dir, limits);
        reread.open();
        QCOMPARE(reread.size(), 2);
        QVERIFY(reread.entry(u"late"_s) && reread.entry(u"later"_s));
    }

    void safeIDsAndTheirPathSegment_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("safe");
        QTest::addColumn<QByteArray>("segment");
        QTest::newRow("uuid") << u"0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11"_s << true
                              << QByteArray("0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11");
        QTest::newRow("traversal") << u"../../agent-instances/report"_s << true
                                   << QByteArray("..%2F..%2Fagent-instances%2Freport");
        QTest::newRow("query and fragment") << u"a?b=c#d"_s << true << QByteArray("a%3Fb%3Dc%23d");
        QTest::newRow("percent and space") << u"%2e %41"_s << true << QByteArray("%252e%20%2541");
        QTest::newRow("non-ASCII") << u"é😀"_s << true << QByteArray("%C3%A9%F0%9F%98%80");
        QTest::newRow("sub-delims") << u"!$&'()*+,;=:@~"_s << true
                                    << QByteArray("%21%24%26%27%28%29%2A%2B%2C%3B%3D%3A%40~");
        QTest::newRow("three dots") << u"..."_s << true << QByteArray("...");
        QTest::newRow("256 characters") << QString(256, u'x') << true << QByteArray(256, 'x');
        QTest::newRow("dot") << u"."_s << false << QByteArray();
        QTest::newRow("dot dot") << u".."_s << false << QByteArray();
        QTest::newRow("empty") << QString() << false << QByteArray();
        QTest::newRow("CR LF") << u"a\r\nX-Injected: 1"_s << false << QByteArray();
        QTest::newRow("NUL") << QString(QChar(0)) << false << QByteArray();
        QTest::newRow("DEL") << u"a\x7f"_s << false << QByteArray();
        QTest::newRow("C1 control") << u"a\u0085"_s << false << QByteArray();
        QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << false << QByteArray();
        QTest::newRow("257 characters") << QString(257, u'x') << false << QByteArray();
    }

    void safeIDsAndTheirPathSegment()
    {
        QFETCH(QString, id);
        QFETCH(bool, safe);
        QFETCH(QByteArray, segment);
        QCOMPARE(command_id::isSafe(id), safe);
        if (!safe)
            return;
        QCOMPARE(command_id::pathSegment(id), segment);
        // Cross-check: python3's quote with no safe characters encodes the same bytes.
        const ProcessResult python =
            runPython(QStringLiteral("import sys, urllib.parse\n"
                                     "sys.stdout.write(urllib.parse.quote(sys.argv[1], safe=''))\n"),
                      {id});
        QCOMPARE(python.exitCode, 0);
        QCOMPARE(python.standardOutput, segment);
        const QByteArray body = "{\"command\":{\"id\":"
                                + QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + "}}";
        QCOMPARE(command_id::readableID(body), std::optional<QString>(id));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandProtocolTest)
#include "tst_command_protocol.moc"
