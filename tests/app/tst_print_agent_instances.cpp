// --print-agent-instances on the built executable, with real signed and unsigned fake clients.

#include "support/agent_fixture_checks.h"
#include "support/process_runner.h"
#include "support/signed_fixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace mornix {

using namespace fixtures;

class PrintAgentInstancesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A signed Claude Desktop, a signed Claude Code, an unsigned claude, a ChatGPT signed by a
    // foreign team and a tampered Codex CLI: exactly the two genuine instances are listed.
    void listsExactlyTheGenuineInstances()
    {
        QTemporaryDir dir;
        const QString desktop = makeClaudeDesktop(dir.path());
        const QString code = makeClaudeCode(dir.filePath(QStringLiteral("bin")));
        const QString unsignedClaude = makeCLI(dir.filePath(QStringLiteral("unsigned")), QStringLiteral("claude"), {}, {});
        const QString chatGPT = makeChatGPT(dir.path(), kForeignTeam);
        const QString codex = makeCodexCLI(dir.filePath(QStringLiteral("tampered")));
        QVERIFY(!desktop.isEmpty() && !code.isEmpty() && !unsignedClaude.isEmpty() && !chatGPT.isEmpty() && !codex.isEmpty());
        QVERIFY(tamper(codex));
        RunningFixture a(bundleExecutable(desktop)), b(code), c(unsignedClaude), d(bundleExecutable(chatGPT)), e(codex);
        QVERIFY(a.isRunning() && b.isRunning() && c.isRunning() && d.isRunning() && e.isRunning());

        const ProcessResult run = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--print-agent-instances")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.standardOutput.endsWith("]\n"));
        QVERIFY(run.standardOutput.contains("\n    {"));   // pretty-printed

        QJsonObject app{{QStringLiteral("bundle_id"), QStringLiteral("com.anthropic.claude")},
                        {QStringLiteral("kind"), QStringLiteral("application")},
                        {QStringLiteral("product"), QStringLiteral("claude-desktop")},
                        {QStringLiteral("local_instance_id"),
                         agent_checks::instanceID(QStringLiteral("claude-desktop:application:%1:%2:com.anthropic.claude:com.anthropic.claude")
                                                      .arg(a.pid())
                                                      .arg(agent_checks::applicationLaunchIdentity(a.pid())))}};
        QJsonObject process{{QStringLiteral("kind"), QStringLiteral("process")},
                            {QStringLiteral("product"), QStringLiteral("claude-code")},
                            {QStringLiteral("local_instance_id"),
                             agent_checks::instanceID(QStringLiteral("claude-code:process:%1:%2:com.anthropic.claude-code:")
                                                          .arg(b.pid())
                                                          .arg(agent_checks::processLaunchIdentity(b.pid())))}};
        QJsonArray expected;
        if (app.value(QStringLiteral("local_instance_id")).toString() < process.value(QStringLiteral("local_instance_id")).toString())
            expected = {app, process};
        else
            expected = {process, app};
        QCOMPARE(QJsonDocument::fromJson(run.standardOutput).array(), expected);

        // Keys appear sorted in the text itself (checked by python3's order-preserving parser).
        const ProcessResult keys = runPython(QStringLiteral(
            "import json,sys\n"
            "items=json.loads(sys.stdin.read())\n"
            "print(all(list(i.keys())==sorted(i.keys()) for i in items) and len(items))\n"), {}, run.standardOutput);
        QCOMPARE(keys.standardOutput.trimmed(), QByteArray("2"));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PrintAgentInstancesTest)
#include "tst_print_agent_instances.moc"
