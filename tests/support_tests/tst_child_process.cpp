// The one child-process runner, on real processes: output read while the child runs, every
// kind of failure told apart, and the status-tool text built from it.
#include "support/child_process.h"

#include <QTest>

namespace mornix {

class TestChildProcess : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outputOfBothPipesIsReadWhileRunning()
    {
        // 1 MiB on each pipe, far more than a pipe holds: a runner that waited for the exit
        // before reading would hang.
        const QStringList chatty{QStringLiteral("-c"),
                                 QStringLiteral("head -c 1048576 /dev/zero | tr '\\0' o; "
                                                "head -c 1048576 /dev/zero | tr '\\0' e >&2")};
        const ChildProcessResult both = runChildProcess(QStringLiteral("/bin/sh"), chatty, std::chrono::seconds(30),
                                                        8 * 1024 * 1024, ChildStandardError::Capture);
        QVERIFY(both.started && both.finishedNormally);
        QCOMPARE(both.exitCode, 0);
        QCOMPARE(both.standardOutput, QByteArray(1048576, 'o'));
        QCOMPARE(both.standardError, QByteArray(1048576, 'e'));

        // Discarded standard error is never read, and never blocks the child either.
        const ChildProcessResult outOnly = runChildProcess(QStringLiteral("/bin/sh"), chatty);
        QVERIFY(outOnly.finishedNormally);
        QCOMPARE(outOnly.standardOutput.size(), 1048576);
        QVERIFY(outOnly.standardError.isEmpty());

        // The status-tool text: standard output, then standard error, as one text.
        const QString text = shell(QStringLiteral("/bin/sh"), chatty, 30000);
        QCOMPARE(text.size(), 2 * 1048576);
        QVERIFY(text.startsWith(QLatin1Char('o')) && text.endsWith(QLatin1Char('e')));
    }

    void failuresAreToldApart()
    {
        const ChildProcessResult missing = runChildProcess(QStringLiteral("/nonexistent/tool"), {});
        QVERIFY(!missing.started);
        QVERIFY(!missing.startError.isEmpty());
        QVERIFY(shell(QStringLiteral("/nonexistent/csrutil"), {QStringLiteral("status")})
                    .startsWith(QStringLiteral("UNKNOWN: ") + missing.startError.left(5)));

        const ChildProcessResult slow = runChildProcess(QStringLiteral("sleep"), {QStringLiteral("30")},
                                                        std::chrono::milliseconds(200));
        QVERIFY(slow.started && !slow.finishedNormally && slow.timedOut);
        QCOMPARE(shell(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, 200),
                 QStringLiteral("UNKNOWN: /bin/sleep timed out"));

        // Beyond the size limit: stopped, and not mistaken for a time-out.
        const ChildProcessResult huge = runChildProcess(QStringLiteral("/bin/sh"),
                                                        {QStringLiteral("-c"), QStringLiteral("exec cat /dev/zero")},
                                                        std::chrono::seconds(30), 65536);
        QVERIFY(huge.started && !huge.finishedNormally && !huge.timedOut);

        // Killed by a signal: not a normal exit, whatever its output.
        const ChildProcessResult crashed = runChildProcess(
            QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo partial; kill -SEGV $$")});
        QVERIFY(crashed.started && !crashed.finishedNormally && !crashed.timedOut);
        QCOMPARE(crashed.standardOutput, QByteArray("partial\n"));

        // An exit status is reported as it is.
        const ChildProcessResult failed = runChildProcess(QStringLiteral("/bin/sh"),
                                                          {QStringLiteral("-c"), QStringLiteral("exit 3")});
        QVERIFY(failed.finishedNormally);
        QCOMPARE(failed.exitCode, 3);
    }

    void statusToolTextIsTrimmedUtf8WhateverTheExitStatus()
    {
        QCOMPARE(shell(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"), QStringLiteral("echo ' out '; echo err >&2; exit 3")}),
                 QStringLiteral("out \nerr"));
        QCOMPARE(shell(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf 'gr\\303\\274n'")}),
                 QStringLiteral("gr\u00fcn"));
        QCOMPARE(shell(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '\\377\\376'")}),
                 QStringLiteral("UNKNOWN"));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TestChildProcess)
#include "tst_child_process.moc"
