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
    // A signed Claude Code beside an unsigned claude and a tampered Codex CLI: the built program
    // lists the genuine one alone, as exactly the scanner's report, pretty-printed, keys sorted.
    // (Every kind of impostor against the scanner itself: tst_agent_instance_scanner.)
    void listsTheGenuineInstancePrettyWithSortedKeys()
    {
        QTemporaryDir dir;
        const QString code = makeClaudeCode(dir.filePath(QStringLiteral("bin")));
        const QString unsignedClaude =
            makeCLI(dir.filePath(QStringLiteral("unsigned")), QStringLiteral("claude"), {}, {});
        const QString codex = makeCodexCLI(dir.filePath(QStringLiteral("tampered")));
        QVERIFY(!code.isEmpty() && !unsignedClaude.isEmpty() && !codex.isEmpty());
        QVERIFY(tamper(codex));
        RunningFixture running(code), impostor(unsignedClaude), tampered(codex);
        QVERIFY(running.isRunning() && impostor.isRunning() && tampered.isRunning());

        const ProcessResult run =
            runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--print-agent-instances")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.standardOutput.endsWith("]\n"));
        QVERIFY(run.standardOutput.contains("\n    {"));  // pretty-printed
        const QJsonObject process{
            {QStringLiteral("kind"), QStringLiteral("process")},
            {QStringLiteral("product"), QStringLiteral("claude-code")},
            {QStringLiteral("local_instance_id"),
             agent_checks::instanceID(QStringLiteral("claude-code:process:%1:%2:com.anthropic.claude-code:")
                                          .arg(running.pid())
                                          .arg(agent_checks::processLaunchIdentity(running.pid())))}};
        QCOMPARE(QJsonDocument::fromJson(run.standardOutput).array(), QJsonArray{process});

        // Keys appear sorted in the text itself (checked by python3's order-preserving parser).
        const ProcessResult keys =
            runPython(QStringLiteral("import json,sys\n"
                                     "items=json.loads(sys.stdin.read())\n"
                                     "print(all(list(i.keys())==sorted(i.keys()) for i in items) and len(items))\n"),
                      {}, run.standardOutput);
        QCOMPARE(keys.standardOutput.trimmed(), QByteArray("1"));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PrintAgentInstancesTest)
#include "tst_print_agent_instances.moc"
