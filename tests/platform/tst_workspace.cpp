#include "platform/linux/procfs_workspace.h"
#include "platform/linux/proc_fs.h"

#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace mornix {

using namespace fixtures;

class WorkspaceTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static std::optional<RunningApplication> find(const QList<RunningApplication> &apps, qint32 pid)
    {
        for (const RunningApplication &app : apps) {
            if (app.pid == pid)
                return app;
        }
        return std::nullopt;
    }

private Q_SLOTS:
    void bundleShape()
    {
        QCOMPARE(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/opt/My Apps/Claude.app/Contents/MacOS/Claude")),
                 QStringLiteral("/opt/My Apps/Claude.app"));
        QVERIFY(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/opt/Claude.app/Contents/Resources/claude")).isEmpty());
        QVERIFY(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/opt/.app/Contents/MacOS/x")).isEmpty());
        QVERIFY(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/usr/bin/claude")).isEmpty());
    }

    void runningApplicationsAndNames()
    {
        const QString dir = m_dir.filePath(QStringLiteral("apps"));
        const QString claude = makeClaudeDesktop(dir, {});
        const QString named = makeBundle(dir, QStringLiteral("Helper Tool"), QStringLiteral("com.example.helper"), {},
                                         {QStringLiteral("Shown Name"), QStringLiteral("helper")});
        const QString anonymous = makeBundle(dir, QStringLiteral("Plain"), QStringLiteral("com.example.plain"), {});
        QVERIFY(QFile::remove(anonymous + QStringLiteral("/Contents/Info.plist")));
        RunningFixture a(bundleExecutable(claude));
        RunningFixture b(bundleExecutable(named));
        RunningFixture c(bundleExecutable(anonymous));
        RunningFixture plain(sleeperPath());
        QVERIFY(a.isRunning() && b.isRunning() && c.isRunning() && plain.isRunning());

        ProcfsWorkspace workspace;
        const QList<RunningApplication> apps = workspace.runningApplications();
        const std::optional<RunningApplication> first = find(apps, a.pid());
        QVERIFY(first);
        QCOMPARE(first->bundleIdentifier, QStringLiteral("com.anthropic.claude"));
        QCOMPARE(first->bundlePath, claude);
        QCOMPARE(first->localizedName, QStringLiteral("Claude"));
        QVERIFY(first->launchDate);
        QVERIFY(qAbs(*first->launchDate - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 120);
        QCOMPARE(find(apps, b.pid())->localizedName, QStringLiteral("Shown Name"));
        QVERIFY(!find(apps, c.pid()));       // no Info.plist: not an application
        QVERIFY(!find(apps, plain.pid()));   // not in a bundle
        QCOMPARE(workspace.runningApplication(a.pid())->launchToken, first->launchToken);
        QVERIFY(!workspace.runningApplication(plain.pid()));

        const QList<RunningApplication> byID = workspace.runningApplications(QStringLiteral("com.anthropic.claude"));
        QVERIFY(find(byID, a.pid()));
        QVERIFY(!find(byID, b.pid()));
        QVERIFY(!find(workspace.runningApplications(QStringLiteral("COM.anthropic.claude")), a.pid()));
    }

    void terminateAndForce()
    {
        const QString dir = m_dir.filePath(QStringLiteral("stop"));
        const QString bundle = makeCodexApp(dir, {});
        RunningFixture graceful(bundleExecutable(bundle));
        RunningFixture stubborn(bundleExecutable(bundle), {QStringLiteral("--ignore-term")});
        ProcfsWorkspace workspace;
        const RunningApplication one = *workspace.runningApplication(graceful.pid());
        const RunningApplication two = *workspace.runningApplication(stubborn.pid());
        QVERIFY(!workspace.isTerminated(one));

        // A record of an earlier launch on the same pid reaches nothing.
        RunningApplication stale = one;
        stale.launchToken -= 1;
        QVERIFY(!workspace.terminate(stale));
        QVERIFY(workspace.isTerminated(stale));
        QVERIFY(!graceful.waitForExit(200));

        QVERIFY(workspace.terminate(one));
        QVERIFY(graceful.waitForExit(5000));
        QVERIFY(workspace.isTerminated(one));
        QVERIFY(!workspace.terminate(one));

        QVERIFY(workspace.terminate(two));
        QVERIFY(!stubborn.waitForExit(300));
        QVERIFY(workspace.forceTerminate(two));
        QVERIFY(stubborn.waitForExit(5000));
        QVERIFY(workspace.isTerminated(two));
    }

    void openCommandsFollowTheBrowserVariableForWebPagesOnly()
    {
        const QUrl page(QStringLiteral("https://x.test/a?b=c d"));
        const QString encoded = page.toString(QUrl::FullyEncoded);
        const QString browsers = QStringLiteral("firefox --new-tab %s::\"my browser\" -q");
        const QList<QStringList> expected{{QStringLiteral("firefox"), QStringLiteral("--new-tab"), encoded},
                                          {QStringLiteral("my browser"), QStringLiteral("-q"), encoded},
                                          {QStringLiteral("xdg-open"), encoded}};
        QCOMPARE(ProcfsWorkspace::openCommands(browsers, page), expected);
        // A file (the log) goes to the default handler, never to a browser command.
        const QUrl file = QUrl::fromLocalFile(QStringLiteral("/home/u/Logs/mornix.md"));
        QCOMPARE(ProcfsWorkspace::openCommands(browsers, file),
                 (QList<QStringList>{{QStringLiteral("xdg-open"), file.toString(QUrl::FullyEncoded)}}));
    }

    void openURLHandsTheURLToARealHandler()
    {
        // Stand-in handlers: $BROWSER for pages, an xdg-open early on PATH for files. Each
        // records what it was given; a missing first browser falls through to the next.
        QTemporaryDir bin;
        const QString record = bin.filePath(QStringLiteral("opened"));
        const auto writeHandler = [&](const QString &name) {
            QFile script(bin.filePath(name));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral("#!/bin/sh\nprintf '%s %s\\n' %1 \"$1\" >> '%2'\n").arg(name, record).toUtf8());
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        };
        writeHandler(QStringLiteral("browser"));
        writeHandler(QStringLiteral("xdg-open"));
        const QByteArray savedBrowser = qgetenv("BROWSER");
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("BROWSER", QFile::encodeName(bin.filePath(QStringLiteral("missing")) + QLatin1Char(':')
                                             + bin.filePath(QStringLiteral("browser"))));
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + savedPath);

        ProcfsWorkspace workspace;
        const QUrl page(QStringLiteral("https://x.test/help"));
        const QUrl file = QUrl::fromLocalFile(bin.filePath(QStringLiteral("log.md")));
        const bool pageHandedOver = workspace.openURL(page);
        const bool fileHandedOver = workspace.openURL(file);
        const bool invalidHandedOver = workspace.openURL(QUrl());
        qputenv("BROWSER", savedBrowser);
        qputenv("PATH", savedPath);
        if (savedBrowser.isNull())
            qunsetenv("BROWSER");

        QVERIFY(pageHandedOver);
        QVERIFY(fileHandedOver);
        QVERIFY(!invalidHandedOver);
        // The handlers run detached: wait for both lines.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record).count('\n'), 2, 10000);
        QStringList lines = QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        lines.sort();
        QCOMPARE(lines, (QStringList{QStringLiteral("browser https://x.test/help"),
                                     QStringLiteral("xdg-open ") + file.toString(QUrl::FullyEncoded)}));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(WorkspaceTest)
#include "tst_workspace.moc"
