// The poll loop against a scripted service and executor, with recorded (not waited) sleeps, and
// its inventory reporter alone: coalescing, one report in flight, logging on change, pending
// without credentials (a scripted sender, real timers).
#include "poll_loop_rig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QCoroTimer>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace mornix {

using namespace poll_loop_test;

class CommandPollLoopTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void jitterStaysWithinTwentyPercent()
    {
        QCOMPARE(jitteredNanoseconds(0, 0.2), std::uint64_t(0));
        QCOMPARE(jitteredNanoseconds(1000, 0), std::uint64_t(1000));
        std::uint64_t low = UINT64_MAX, high = 0;
        for (int i = 0; i < 2000; ++i) {
            const std::uint64_t v = jitteredNanoseconds(1'000'000'000, 0.2);
            low = std::min(low, v);
            high = std::max(high, v);
        }
        QVERIFY(low >= 800'000'000 && high <= 1'200'000'000);
        QVERIFY(low < 850'000'000 && high > 1'150'000'000);  // the whole range is used
    }

    // Paused: half-second naps, no fetch, shown as disconnected. Without credentials: longer naps.
    void idleLoopNapsWithoutFetching()
    {
        Rig paused;
        paused.state.setPaused(true);
        paused.state.setConnected(true);
        paused.log.clear();
        QVERIFY(paused.runUntil([&] { return paused.sleeps.size() >= 5; }));
        QCOMPARE(paused.server->polls, 0);
        for (auto d : paused.sleeps)
            QCOMPARE(d, std::chrono::nanoseconds(500'000'000));
        QCOMPARE(paused.log, QStringList{u"connected=false"_s});

        Rig signedOut;
        signedOut.state.setCredentials(std::nullopt);
        QVERIFY(signedOut.runUntil([&] { return signedOut.sleeps.size() >= 3; }));
        QCOMPARE(signedOut.sleeps.first(), std::chrono::nanoseconds(800'000'000));
        QCOMPARE(signedOut.server->polls, 0);
        QVERIFY(!signedOut.state.connected());
    }

    void errorsBackOffDoublingToThirtySeconds()
    {
        Rig rig;
        for (int i = 0; i < 7; ++i)
            rig.server->answers.push_back(Failure{});
        rig.loop.start();
        QTRY_COMPARE(rig.sleeps.size(), 7);
        const double bases[] = {1, 2, 4, 8, 16, 30, 30};
        for (int i = 0; i < 7; ++i)
            QVERIFY2(within20Percent(rig.sleeps[i], bases[i]), qPrintable(u"sleep %1"_s.arg(i)));
        // Then a successful poll resets the delay and the status.
        QTRY_VERIFY(rig.state.connected());
        rig.server->answers.push_back(Failure{});
        QTRY_COMPARE(rig.sleeps.size(), 8);
        QVERIFY(within20Percent(rig.sleeps[7], 1));
        rig.loop.cancel();
        QCOMPARE(rig.log.count(u"connection retry"_s), 1);  // logged on change only
        QVERIFY(rig.state.credentials());                   // credentials kept
    }

    void unauthorizedRefreshesOrAsksForAuthentication()
    {
        Rig refreshing;
        refreshing.state.setCredentials(CredentialsBuilder().expiringIn(3600).build());
        refreshing.answerOnForce = CredentialsBuilder().expiringIn(3600).bearerToken(u"fresh"_s).build();
        refreshing.server->answers.push_back(Unauthorized{});
        QVERIFY(refreshing.runUntil([&] { return refreshing.server->polls >= 2; }));
        QVERIFY(refreshing.sleeps.isEmpty());  // fetches again at once
        QCOMPARE(refreshing.state.credentials()->bearerToken, u"fresh"_s);
        QVERIFY(refreshing.log.contains(u"token refreshed"_s));
        QCOMPARE(refreshing.forces.mid(0, 2), (QList<bool>{false, true}));

        // Without a refresh: asked for once, the delay doubles, the credentials stay.
        Rig rig;
        rig.server->answers = {Unauthorized{}, Unauthorized{}};
        QVERIFY(rig.runUntil([&] { return rig.sleeps.size() == 2; }));
        QCOMPARE(rig.log.count(u"authentication required"_s), 1);
        QVERIFY(within20Percent(rig.sleeps[0], 1) && within20Percent(rig.sleeps[1], 2));
        QVERIFY(rig.state.credentials());
    }

    void tokenNearExpiryIsRefreshedWithForce()
    {
        for (const qint64 seconds : {30, 120}) {
            Rig rig;
            rig.state.setCredentials(CredentialsBuilder().expiringIn(seconds).build());
            QVERIFY(rig.runUntil([&] { return !rig.forces.isEmpty(); }));
            QCOMPARE(rig.forces.first(), seconds < 60);
        }
    }

    // Acknowledged "received", carried out, acknowledged with its outcome, an inventory report
    // sent after it; the help page only after a successful stop.
    void validCommandIsAcknowledgedExecutedAndReported()
    {
        for (const bool succeed : {true, false}) {
            Rig rig;
            rig.executor->succeed = succeed;
            rig.inventoryReportedJustNow();
            rig.server->answers.push_back(claudeApplicationCommand());
            const QString outcome = succeed ? u"executed 01234567"_s : u"failed 01234567"_s;
            QVERIFY(rig.runUntil([&] {
                return rig.server->acks.size() == 2 && rig.lastCommands.contains(outcome)
                       && rig.server->inventoryReports == 1;  // sent, not only queued
            }));
            const auto &acks = rig.server->acks;
            QCOMPARE(acks[0].status, AckStatus::received);
            QVERIFY(!acks[0].execution && !acks[0].messageOverride);
            QCOMPARE(acks[1].status, succeed ? AckStatus::executed : AckStatus::failed);
            QCOMPARE(acks[1].execution->payload.value(u"app_key"_s).toString(), u"claude"_s);
            QCOMPARE(rig.executor->calls, QStringList{u"kill:claude"_s});
            QCOMPARE(rig.helpPages, succeed ? 1 : 0);
            QCOMPARE(rig.queued, 1);
            QCOMPARE(rig.lastCommands.mid(0, 2), (QStringList{u"received 01234567"_s, outcome}));
        }
    }

    void malformedCommandsAreIgnored()
    {
        Rig rig;
        KillCommand command;
        command.id = kCommandID;
        command.protocolVersion = 2;
        command.action = u"terminate_agent_instance"_s;
        command.appKey = u"claude"_s;
        command.product = u"claude-code"_s;
        command.instanceKind = u"process"_s;
        command.targetInstanceID = u"local_xyz"_s;
        KillCommand protocolOne = claudeApplicationCommand(u"fedcba9876543210"_s);
        protocolOne.targetBundleIDs = {u"com.anthropic.claude"_s};
        rig.server->answers = {command, protocolOne};
        // The status text follows the acknowledgement once the journal has settled the outcome.
        QVERIFY(rig.runUntil(
            [&] { return rig.server->acks.size() == 4 && rig.lastCommands.contains(u"ignored fedcba98"_s); }));
        const auto &acks = rig.server->acks;
        QCOMPARE(acks[1].status, AckStatus::ignored);
        QCOMPARE(acks[1].messageOverride, u"agent instance command validation failed"_s);
        QCOMPARE(acks[3].status, AckStatus::ignored);
        QCOMPARE(acks[3].messageOverride, u"command protocol or target validation failed"_s);
        QVERIFY(rig.executor->calls.isEmpty());
        QVERIFY(rig.lastCommands.contains(u"ignored 01234567"_s));
    }

    // The service's answer to "received": a 4xx means it no longer wants the command (nothing is
    // carried out, the journal says so, the error handler backs off); a 401 is refreshed first and
    // the command handled when it comes again; a network failure does not stop the command.
    void receivedAnswerDecidesWhetherTheCommandRuns_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("expectedLog");
        QTest::newRow("4xx") << int(ReceivedAnswer::refused)
                             << QStringList{u"received 01234567"_s, u"refused 01234567"_s, u"connection retry"_s};
        QTest::newRow("401") << int(ReceivedAnswer::unauthorized)
                             << QStringList{u"received 01234567"_s, u"token refreshed"_s};
        QTest::newRow("network failure") << int(ReceivedAnswer::failure)
                                         << QStringList{u"received 01234567"_s, u"executed 01234567"_s};
    }

    void receivedAnswerDecidesWhetherTheCommandRuns()
    {
        QFETCH(int, answer);
        QFETCH(QStringList, expectedLog);
        const auto received = ReceivedAnswer(answer);
        Rig rig;
        rig.inventoryReportedJustNow();
        rig.answerOnForce = CredentialsBuilder().bearerToken(u"fresh"_s).build();
        rig.server->receivedAnswers = {received};
        rig.server->answers.push_back(claudeApplicationCommand());
        QVERIFY(rig.runUntil([&] { return rig.lastCommands.size() >= expectedLog.size() && rig.server->polls >= 2; }));
        QCOMPARE(rig.lastCommands.mid(0, expectedLog.size()), expectedLog);
        const auto entry = rig.journal->entry(kCommandID);
        QVERIFY(entry);
        if (received == ReceivedAnswer::failure) {
            QCOMPARE(rig.executor->calls, QStringList{u"kill:claude"_s});
            QCOMPARE(rig.server->acks.size(), 1);  // the outcome only
            QCOMPARE(rig.server->acks[0].status, AckStatus::executed);
            return;
        }
        // Nothing carried out, no outcome sent.
        QVERIFY(rig.executor->calls.isEmpty());
        QVERIFY(rig.server->acks.isEmpty());
        QVERIFY(!entry->intent && !entry->outcome);
        QCOMPARE(entry->refused, received == ReceivedAnswer::refused);
        if (received == ReceivedAnswer::refused) {
            QCOMPARE(rig.sleeps.size(), 1);  // backed off
            QVERIFY(within20Percent(rig.sleeps[0], 1));
        } else {
            QVERIFY(rig.forces.contains(true));
            QCOMPARE(rig.state.credentials()->bearerToken, u"fresh"_s);
        }

        // Handed out again, and this time "received" is accepted: carried out once.
        Rig again(true, rig.journal);
        again.inventoryReportedJustNow();
        again.server->answers.push_back(claudeApplicationCommand());
        QVERIFY(again.runUntil([&] { return again.lastCommands.contains(u"executed 01234567"_s); }));
        QCOMPARE(again.executor->calls, QStringList{u"kill:claude"_s});
        QCOMPARE(again.server->acks.size(), 2);
    }

    // A journal that cannot be used: the command is still carried out, and handed out again it
    // is answered with the same outcome (same key), never carried out again nor reported as
    // interrupted. The loop reports the state once per change, and before the next command the
    // journal is tried again: durable again once the fault is gone.
    void unusableJournalStillCarriesOutOnceAndRecovers()
    {
        QTemporaryDir home;
        const QString dir = home.filePath(u"Commands"_s);
        QVERIFY(QDir().mkpath(dir) && ::chmod(QFile::encodeName(dir), 0700) == 0);
        const QString file = dir + u"/journal"_s;
        QVERIFY(::mkfifo(QFile::encodeName(file), 0600) == 0);  // refused: not a regular file
        auto journal = std::make_shared<CommandJournal>(dir);
        QCOMPARE(journal->open().size(), 1);
        Rig rig(true, journal);
        rig.inventoryReportedJustNow();
        rig.server->answers = {claudeApplicationCommand(), claudeApplicationCommand()};
        QVERIFY(rig.runUntil([&] { return rig.server->acks.size() == 3 && rig.server->answers.empty(); }));
        QCOMPARE(rig.executor->calls, QStringList{u"kill:claude"_s});
        const auto &acks = rig.server->acks;
        QCOMPARE(acks[1].status, AckStatus::executed);
        QCOMPARE(acks[2].status, AckStatus::executed);  // the same outcome again, not "interrupted"
        const auto sent = [&](const Ack &ack) {
            const CommandAcknowledgement body = CommandAcknowledgement::make(
                kCommandID, rig.state.credentials()->deviceID, ack.status, ack.execution, ack.messageOverride);
            return body.toJSON();
        };
        QCOMPARE(sent(acks[2]), sent(acks[1]));  // same body, same idempotency key
        QVERIFY(rig.journalStates.isEmpty());    // degraded from the start: logged by whoever opened it

        // The fault is gone: the next command finds the journal durable again and writes it.
        QVERIFY(QFile::remove(file));
        const QString next = u"fedcba9876543210"_s;
        Rig later(true, journal);
        later.inventoryReportedJustNow();
        later.server->answers.push_back(claudeApplicationCommand(next));
        QVERIFY(later.runUntil([&] { return later.lastCommands.contains(u"executed fedcba98"_s); }));
        QCOMPARE(later.journalStates, QStringList{QString()});
        QVERIFY(journal->isDurable());
        CommandJournal reread(dir);
        QCOMPARE(reread.open(), QStringList());
        QVERIFY(reread.entry(kCommandID)->outcome && reread.entry(next)->outcome);
    }

    void periodicInventoryIsSpacedFifteenSeconds()
    {
        Rig rig;
        rig.loop.start();
        QTRY_VERIFY(rig.server->polls >= 5);
        QCOMPARE(rig.queued, 1);  // one, not one per poll
        rig.reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc().addSecs(-15));
        QTRY_COMPARE(rig.queued, 2);
        rig.loop.cancel();

        Rig notReady(false);  // no inventory yet: nothing is queued
        QVERIFY(notReady.runUntil([&] { return notReady.server->polls >= 2; }));
        QCOMPARE(notReady.queued, 0);
        QVERIFY(!notReady.reporter.lastAgentInstanceReportAttemptAt());
    }

    // While a claim waits for approval: one status poll, then a pause before the next, never
    // polls back to back; once the claim turns into credentials, commands are fetched.
    void pendingClaimStatusPollsArePacedUntilApproval()
    {
        Rig rig;
        rig.state.setCredentials(std::nullopt);
        rig.claimApprovedAfter = 3;
        QVERIFY(rig.runUntil([&] { return rig.server->polls >= 2; }));
        const QString nap = u"sleep %1"_s.arg(poll_timing::pendingClaimNap);
        // Two waits between three status polls; none after the approving one.
        QCOMPARE(rig.events, (QStringList{u"status"_s, nap, u"status"_s, nap, u"status"_s}));
        QVERIFY(poll_timing::pendingClaimNap >= 1'000'000'000);
    }

    void cancelEndsTheLoop()
    {
        // Real sleeps: a cancelled loop must not sit out its back-off.
        Rig rig;
        CommandPollLoop::Collaborators collaborators;
        collaborators.executor = rig.executor;
        CommandPollLoop loop(rig.state, collaborators);
        rig.server->answers.push_back(Failure{});
        loop.start();
        QTRY_COMPARE(rig.lastCommands.value(0), u"connection retry"_s);
        QVERIFY(loop.isRunning());
        QElapsedTimer timer;
        timer.start();
        loop.cancel();
        QTRY_VERIFY(!loop.isRunning());
        QVERIFY(timer.elapsed() < 500);
        QCOMPARE(rig.server->polls, 1);
    }

    void burstOfMonitorUpdatesBecomesOneReport()
    {
        ReporterRig rig;
        for (int i = 1; i <= 5; ++i) {
            QList<AgentInstanceReport> list;
            for (int k = 0; k < i; ++k)
                list.append(report("claude-code", k));
            rig.reporter->queueAgentInventoryReport(list, std::nullopt, false);
        }
        QTest::qWait(100);
        QVERIFY(rig.sent.isEmpty());  // still inside the 0.15 s collection window
        QTRY_COMPARE(rig.sent.size(), 1);
        QCOMPARE(rig.sent.first().size(), 5);
        QCOMPARE(rig.sentDevices, QStringList{"stored"});
        QTRY_VERIFY(!rig.reporter->isSending());
    }

    void requestsWhileSendingReplaceThePendingOne()
    {
        ReporterRig rig;
        rig.reporter->queueAgentInventoryReport({report("codex", 1)}, std::nullopt, true);
        QTRY_COMPARE(rig.inFlight, 1);
        rig.reporter->queueAgentInventoryReport({report("codex", 2)}, std::nullopt, false);
        rig.reporter->queueAgentInventoryReport({report("codex", 3), report("codex", 4)}, std::nullopt, false);
        QTRY_COMPARE(rig.sent.size(), 2);
        QTRY_VERIFY(!rig.reporter->isSending());
        QCOMPARE(rig.maxInFlight, 1);
        QCOMPARE(rig.sent[1].size(), 2);  // the newest state only
        QVERIFY(!rig.reporter->pendingReports());
    }

    // The summary counts per product, sorted by product; an unchanged one is not logged again.
    void unchangedSummaryIsLoggedOnce()
    {
        ReporterRig rig;
        const QList<AgentInstanceReport> first{report("codex", 1), report("claude-code", 1), report("claude-code", 2)};
        rig.reporter->queueAgentInventoryReport(first, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 1);
        const QList<AgentInstanceReport> same{report("claude-code", 7), report("codex", 9), report("claude-code", 8)};
        rig.reporter->queueAgentInventoryReport(same, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 2);
        QCOMPARE(rig.log, QStringList{u"agent inventory reported: claude-code=2, codex=1"_s});
        rig.reporter->queueAgentInventoryReport({}, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 3);
        QCOMPARE(rig.log.constLast(), u"agent inventory reported: "_s);
    }

    // An immediate report skips the collection window and goes with the given credentials; a
    // failure is logged cleaned and not retried.
    void immediateReportFailureIsLoggedAndNotRetried()
    {
        ReporterRig rig;
        rig.fail = true;
        QElapsedTimer timer;
        timer.start();
        const DeviceCredentials loop = CredentialsBuilder().device(u"loop"_s).build();
        rig.reporter->queueAgentInventoryReport({report("codex", 1)}, loop, true);
        QTRY_COMPARE(rig.sent.size(), 1);
        QVERIFY(timer.elapsed() < 120);
        QCOMPARE(rig.sentDevices, QStringList{"loop"});
        QVERIFY(rig.reporter->lastAgentInstanceReportAttemptAt());
        QTRY_VERIFY(!rig.reporter->isSending());
        QTest::qWait(300);
        QCOMPARE(rig.sent.size(), 1);
        QCOMPARE(rig.log, QStringList{u"agent inventory report retry: The request timed out.retry later"_s});
        QVERIFY(!rig.reporter->lastAgentInventorySummary());
    }

    void withoutCredentialsTheReportStaysPending()
    {
        ReporterRig rig;
        rig.current.reset();
        rig.reporter->queueAgentInventoryReport({report("codex", 1)}, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending());
        QVERIFY(rig.sent.isEmpty());
        QVERIFY(rig.reporter->pendingReports());
        rig.current = CredentialsBuilder().device(u"later"_s).build();
        rig.reporter->queueAgentInventoryReport({report("codex", 1), report("codex", 2)}, std::nullopt, true);
        QTRY_COMPARE(rig.sent.size(), 1);
        QCOMPARE(rig.sent.first().size(), 2);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandPollLoopTest)
#include "tst_command_poll_loop.moc"
