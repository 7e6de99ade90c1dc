#include "commands/command_validation.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

const QStringList kClaudeIDs = {u"com.anthropic.claude"_s, u"com.anthropic.claudefordesktop"_s,
                                u"com.anthropic.claudedesktop"_s};
const QStringList kOpenAIIDs = {u"com.openai.chatgpt"_s, u"com.openai.chat"_s, u"com.openai.codex"_s};

QString instanceID(const QString &prefix, int digits, QChar digit = u'a')
{
    return prefix + QString(digits, digit);
}

}  // namespace

class CommandValidationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
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

        const QString act = u"terminate_agent_instance"_s;
        QTest::newRow("claude code") << qint64(2) << act << u"claude-code"_s << u"process"_s << u"claude"_s
                                     << QStringList{} << u"claude-code/process"_s;
        QTest::newRow("claude code with a bundle id")
            << qint64(2) << act << u"claude-code"_s << u"process"_s << u"claude"_s
            << QStringList{"com.anthropic.claude"} << QString();
        QTest::newRow("codex application, duplicate id")
            << qint64(2) << act << u"codex"_s << u"application"_s << u"codex"_s
            << QStringList{"com.openai.codex", "com.openai.codex"} << u"codex/application"_s;
        QTest::newRow("codex application, chatgpt key") << qint64(2) << act << u"codex"_s << u"application"_s
                                                        << u"chatgpt"_s << QStringList{"com.openai.codex"} << QString();
        QTest::newRow("codex application, no id")
            << qint64(2) << act << u"codex"_s << u"application"_s << u"codex"_s << QStringList{} << QString();
        QTest::newRow("codex process, padded") << qint64(2) << u" Terminate_Agent_Instance"_s << u" CODEX "_s
                                               << u"Process\n"_s << u"Codex"_s << QStringList{} << u"codex/process"_s;
        QTest::newRow("chatgpt") << qint64(2) << act << u"chatgpt"_s << u"application"_s << u"chatgpt"_s
                                 << QStringList{"com.openai.chat"} << u"chatgpt/application"_s;
        QTest::newRow("chatgpt with two ids") << qint64(2) << act << u"chatgpt"_s << u"application"_s << u"chatgpt"_s
                                              << QStringList{"com.openai.chat", "com.openai.chatgpt"} << QString();
        QTest::newRow("chatgpt with a claude id") << qint64(2) << act << u"chatgpt"_s << u"application"_s
                                                  << u"chatgpt"_s << QStringList{"com.anthropic.claude"} << QString();
        QTest::newRow("claude desktop") << qint64(2) << act << u"claude-desktop"_s << u"application"_s << u"claude"_s
                                        << QStringList{"COM.ANTHROPIC.CLAUDEFORDESKTOP"}
                                        << u"claude-desktop/application"_s;
        QTest::newRow("claude desktop with an openai id") << qint64(2) << act << u"claude-desktop"_s << u"application"_s
                                                          << u"claude"_s << QStringList{"com.openai.chat"} << QString();
        QTest::newRow("claude code as application") << qint64(2) << act << u"claude-code"_s << u"application"_s
                                                    << u"claude"_s << QStringList{"com.anthropic.claude"} << QString();
        QTest::newRow("product absent") << qint64(2) << act << QString() << u"process"_s << u"claude"_s << QStringList{}
                                        << QString();
        QTest::newRow("kind absent") << qint64(2) << act << u"claude-code"_s << QString() << u"claude"_s
                                     << QStringList{} << QString();
        QTest::newRow("application action") << qint64(2) << u"terminate_application"_s << u"claude-code"_s
                                            << u"process"_s << u"claude"_s << QStringList{} << QString();
        QTest::newRow("protocol 1") << qint64(1) << act << u"claude-code"_s << u"process"_s << u"claude"_s
                                    << QStringList{} << QString();
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
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandValidationTest)
#include "tst_command_validation.moc"
