#include "commands/command_validation.h"

#include <QTest>

namespace mornix {

namespace {

const QStringList kClaudeIDs = {QStringLiteral("com.anthropic.claude"), QStringLiteral("com.anthropic.claudefordesktop"),
                                QStringLiteral("com.anthropic.claudedesktop")};
const QStringList kOpenAIIDs = {QStringLiteral("com.openai.chatgpt"), QStringLiteral("com.openai.chat"),
                                QStringLiteral("com.openai.codex")};

QString instanceID(const QString &prefix, int digits, QChar digit = QLatin1Char('a'))
{
    return prefix + QString(digits, digit);
}

}  // namespace

class CommandValidationTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void validatedTarget_data();
    void validatedTarget();
    void instanceIDShape_data();
    void instanceIDShape();
    void validatedCommandProduct_data();
    void validatedCommandProduct();
};

void CommandValidationTest::validatedTarget_data()
{
    QTest::addColumn<qint64>("version");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("appKey");
    QTest::addColumn<QStringList>("bundleIDs");
    QTest::addColumn<QString>("expectedKey");  // null: refused

    const QString terminate = QStringLiteral("terminate_application");
    QTest::newRow("claude, padded and mixed case")
        << qint64(1) << " Terminate_Application " << "CLAUDE"
        << QStringList{"COM.ANTHROPIC.CLAUDEDESKTOP", " com.anthropic.claude\n", "com.anthropic.ClaudeForDesktop"}
        << QStringLiteral("claude");
    QTest::newRow("claude, incomplete set") << qint64(1) << terminate << "claude"
                                            << QStringList{"com.anthropic.claude"} << QString();
    QTest::newRow("claude, one extra") << qint64(1) << terminate << "claude"
                                       << (kClaudeIDs + QStringList{"com.openai.codex"}) << QString();
    QTest::newRow("chatgpt with a duplicate") << qint64(1) << terminate << "chatgpt"
                                              << (kOpenAIIDs + QStringList{"com.openai.chat"})
                                              << QStringLiteral("chatgpt");
    QTest::newRow("codex") << qint64(1) << terminate << "codex" << QStringList{"com.openai.codex"}
                           << QStringLiteral("codex");
    QTest::newRow("codex with chatgpt's set") << qint64(1) << terminate << "codex" << kOpenAIIDs << QString();
    QTest::newRow("unknown key") << qint64(1) << terminate << "cursor" << QStringList{} << QString();
    QTest::newRow("protocol 2") << qint64(2) << terminate << "claude" << kClaudeIDs << QString();
    QTest::newRow("instance action") << qint64(1) << "terminate_agent_instance" << "claude" << kClaudeIDs << QString();
    QTest::newRow("protocol 0") << qint64(0) << terminate << "claude" << kClaudeIDs << QString();
}

void CommandValidationTest::validatedTarget()
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

void CommandValidationTest::instanceIDShape_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("valid");
    QTest::newRow("upper case prefix and digits") << instanceID("LOCAL_", 64, QLatin1Char('F')) << true;
    QTest::newRow("32 digits") << instanceID("local_", 32) << true;
    QTest::newRow("31 digits") << instanceID("local_", 31) << false;
    QTest::newRow("65 digits") << instanceID("local_", 65) << false;
    QTest::newRow("a g among the digits") << QString(instanceID("local_", 40)).replace(20, 1, QLatin1Char('g')) << false;
    QTest::newRow("leading blank") << " " + instanceID("local_", 40) << false;
    QTest::newRow("trailing newline") << instanceID("local_", 40) + "\n" << false;
    QTest::newRow("no prefix") << QString(40, QLatin1Char('a')) << false;
    QTest::newRow("prefix only") << QStringLiteral("local_") << false;
    QTest::newRow("full-width digits") << instanceID("local_", 40, QChar(0xFF10)) << false;
}

void CommandValidationTest::instanceIDShape()
{
    QFETCH(QString, id);
    QFETCH(bool, valid);
    QCOMPARE(CommandValidation::isValidLocalInstanceID(id), valid);
    const auto product = CommandValidation::validatedCommandProduct(
        2, QStringLiteral("terminate_agent_instance"), QStringLiteral("claude-code"), QStringLiteral("process"),
        QStringLiteral("claude"), id, {});
    QCOMPARE(product.has_value(), valid);
}

void CommandValidationTest::validatedCommandProduct_data()
{
    QTest::addColumn<qint64>("version");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("product");  // null: absent
    QTest::addColumn<QString>("kind");     // null: absent
    QTest::addColumn<QString>("appKey");
    QTest::addColumn<QStringList>("bundleIDs");
    QTest::addColumn<QString>("expected");  // "key/kind", null: refused

    const QString act = QStringLiteral("terminate_agent_instance");
    QTest::newRow("claude code") << qint64(2) << act << "claude-code" << "process" << "claude" << QStringList{}
                                 << "claude-code/process";
    QTest::newRow("claude code with a bundle id") << qint64(2) << act << "claude-code" << "process" << "claude"
                                                  << QStringList{"com.anthropic.claude"} << QString();
    QTest::newRow("codex application, duplicate id") << qint64(2) << act << "codex" << "application" << "codex"
                                                     << QStringList{"com.openai.codex", "com.openai.codex"}
                                                     << "codex/application";
    QTest::newRow("codex application, chatgpt key") << qint64(2) << act << "codex" << "application" << "chatgpt"
                                                     << QStringList{"com.openai.codex"} << QString();
    QTest::newRow("codex application, no id") << qint64(2) << act << "codex" << "application" << "codex"
                                              << QStringList{} << QString();
    QTest::newRow("codex process, padded") << qint64(2) << " Terminate_Agent_Instance" << " CODEX " << "Process\n"
                                           << "Codex" << QStringList{} << "codex/process";
    QTest::newRow("chatgpt") << qint64(2) << act << "chatgpt" << "application" << "chatgpt"
                             << QStringList{"com.openai.chat"} << "chatgpt/application";
    QTest::newRow("chatgpt with two ids") << qint64(2) << act << "chatgpt" << "application" << "chatgpt"
                                          << QStringList{"com.openai.chat", "com.openai.chatgpt"} << QString();
    QTest::newRow("chatgpt with a claude id") << qint64(2) << act << "chatgpt" << "application" << "chatgpt"
                                              << QStringList{"com.anthropic.claude"} << QString();
    QTest::newRow("claude desktop") << qint64(2) << act << "claude-desktop" << "application" << "claude"
                                    << QStringList{"COM.ANTHROPIC.CLAUDEFORDESKTOP"} << "claude-desktop/application";
    QTest::newRow("claude desktop with an openai id") << qint64(2) << act << "claude-desktop" << "application"
                                                      << "claude" << QStringList{"com.openai.chat"} << QString();
    QTest::newRow("claude code as application") << qint64(2) << act << "claude-code" << "application" << "claude"
                                                << QStringList{"com.anthropic.claude"} << QString();
    QTest::newRow("product absent") << qint64(2) << act << QString() << "process" << "claude" << QStringList{}
                                    << QString();
    QTest::newRow("kind absent") << qint64(2) << act << "claude-code" << QString() << "claude" << QStringList{}
                                 << QString();
    QTest::newRow("application action") << qint64(2) << "terminate_application" << "claude-code" << "process"
                                        << "claude" << QStringList{} << QString();
    QTest::newRow("protocol 1") << qint64(1) << act << "claude-code" << "process" << "claude" << QStringList{}
                                << QString();
}

void CommandValidationTest::validatedCommandProduct()
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
        QCOMPARE(result->key + QLatin1Char('/') + result->kind, expected);
    // Without an instance id nothing is accepted.
    QVERIFY(!CommandValidation::validatedCommandProduct(version, action, optional(product), optional(kind),
                                                          appKey, std::nullopt, bundleIDs));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandValidationTest)
#include "tst_command_validation.moc"
