// Inventory reporting: coalescing, one report in flight, logging on change, pending without
// credentials. The sender is a scripted coroutine; timers are real.
#include "commands/agent_inventory_reporter.h"
#include "support/credentials_builder.h"

#include <QTest>
#include <QTimer>

#include <QCoroTimer>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

using namespace std::chrono_literals;

AgentInstanceReport report(const QString &product, int n)
{
    return AgentInstanceReport{u"local_%1%2"_s.arg(product).arg(n), product,
                               product == "claude-code"_L1 ? u"process"_s : u"application"_s, std::nullopt};
}

DeviceCredentials credentials(const QString &device)
{
    return CredentialsBuilder().device(device);
}

struct Rig {
    QStringList log;
    QList<QList<AgentInstanceReport>> sent;
    QStringList sentDevices;
    int inFlight = 0;
    int maxInFlight = 0;
    bool fail = false;
    std::optional<DeviceCredentials> current = credentials(u"stored"_s);
    std::unique_ptr<AgentInventoryReporter> reporter;

    Rig()
    {
        AgentInventoryReporter::Dependencies deps;
        deps.send = [this](const DeviceCredentials &c, const QList<AgentInstanceReport> &reports) -> QCoro::Task<void> {
            ++inFlight;
            maxInFlight = std::max(maxInFlight, inFlight);
            sent.append(reports);
            sentDevices.append(c.deviceID);
            QTimer timer;
            timer.setSingleShot(true);
            timer.start(30ms);
            co_await timer;
            --inFlight;
            if (fail)
                throw std::runtime_error("The request timed out.\nretry later");
        };
        deps.currentCredentials = [this] { return current; };
        deps.appendLog = [this](const QString &line) { log.append(line); };
        reporter = std::make_unique<AgentInventoryReporter>(std::move(deps));
    }
};

}  // namespace

class AgentInventoryReporterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void burstOfMonitorUpdatesBecomesOneReport()
    {
        Rig rig;
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

    void immediateReportSkipsTheWait()
    {
        Rig rig;
        QElapsedTimer timer;
        timer.start();
        rig.reporter->queueAgentInventoryReport({report("codex", 1)}, credentials(u"loop"_s), true);
        QTRY_COMPARE(rig.sent.size(), 1);
        QVERIFY(timer.elapsed() < 120);
        QCOMPARE(rig.sentDevices, QStringList{"loop"});
        QVERIFY(rig.reporter->lastAgentInstanceReportAttemptAt());
    }

    void requestsWhileSendingReplaceThePendingOne()
    {
        Rig rig;
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
        Rig rig;
        rig.reporter->queueAgentInventoryReport({report("codex", 1), report("claude-code", 1), report("claude-code", 2)},
                                                std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 1);
        rig.reporter->queueAgentInventoryReport({report("claude-code", 7), report("codex", 9), report("claude-code", 8)},
                                                std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 2);
        QCOMPARE(rig.log, QStringList{u"agent inventory reported: claude-code=2, codex=1"_s});
        rig.reporter->queueAgentInventoryReport({}, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 3);
        QCOMPARE(rig.log.constLast(), u"agent inventory reported: "_s);
    }

    void failureIsLoggedCleanedAndNotRetried()
    {
        Rig rig;
        rig.fail = true;
        rig.reporter->queueAgentInventoryReport({report("codex", 1)}, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending() && rig.sent.size() == 1);
        QTest::qWait(300);
        QCOMPARE(rig.sent.size(), 1);
        QCOMPARE(rig.log, QStringList{u"agent inventory report retry: The request timed out.retry later"_s});
        QVERIFY(!rig.reporter->lastAgentInventorySummary());
    }

    void withoutCredentialsTheReportStaysPending()
    {
        Rig rig;
        rig.current.reset();
        rig.reporter->queueAgentInventoryReport({report("codex", 1)}, std::nullopt, true);
        QTRY_VERIFY(!rig.reporter->isSending());
        QVERIFY(rig.sent.isEmpty());
        QVERIFY(rig.reporter->pendingReports());
        rig.current = credentials(u"later"_s);
        rig.reporter->queueAgentInventoryReport({report("codex", 1), report("codex", 2)}, std::nullopt, true);
        QTRY_COMPARE(rig.sent.size(), 1);
        QCOMPARE(rig.sent.first().size(), 2);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentInventoryReporterTest)
#include "tst_agent_inventory_reporter.moc"
