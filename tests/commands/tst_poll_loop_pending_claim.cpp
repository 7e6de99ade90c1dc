// The poll loop while a claim waits for approval: one status poll, then a pause before the
// next, never polls back to back; once the claim turns into credentials, commands are fetched.
#include "commands/command_poll_loop.h"
#include "commands/poll_timing.h"
#include "support/credentials_builder.h"

#include <QTest>
#include <QTimer>

#include <QCoroTask>
#include <QCoroTimer>

namespace mornix {

namespace {

class NoService final : public DeviceServiceClient {
public:
    int polls = 0;
    QCoro::Task<std::optional<KillCommand>> pollNextCommand(const DeviceCredentials &) override
    {
        ++polls;
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        co_return std::nullopt;
    }
    QCoro::Task<void> sendAck(const DeviceCredentials &, const QString &, AckStatus, const std::optional<KillExecutionResult> &,
                              const std::optional<QString> &) override
    {
        co_return;
    }
    QCoro::Task<void> reportAgentInstances(const DeviceCredentials &, const QList<AgentInstanceReport> &) override { co_return; }
};

class ClaimHost final : public CommandPollLoop::Host, public DeviceSessionRenewal {
public:
    std::optional<DeviceCredentials> creds;
    bool pending = true;
    int statusPolls = 0;
    int approveAfter = 3;
    QStringList events;  // "status" and "sleep <ns>" in order
    std::shared_ptr<NoService> client = std::make_shared<NoService>();

    bool paused() const override { return false; }
    void setConnected(bool) override {}
    void setLastCommand(const QString &) override {}
    std::optional<DeviceCredentials> credentials() const override { return creds; }
    void setCredentials(const DeviceCredentials &c) override { creds = c; }
    std::shared_ptr<DeviceServiceClient> service() const override { return client; }

    QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials c, bool) override { co_return c; }
    bool hasPendingClaim() const override { return pending; }
    QCoro::Task<void> pollPendingClaim() override
    {
        events.append(QStringLiteral("status"));
        if (++statusPolls == approveAfter) {
            pending = false;
            creds = CredentialsBuilder().device(QStringLiteral("d")).build();
        }
        co_return;
    }
};

}  // namespace

class PollLoopPendingClaimTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusPollsArePacedUntilApproval()
    {
        ClaimHost host;
        CommandPollLoop::Sleep sleep = [&host](QPointer<CancellationToken> token, std::chrono::nanoseconds duration)
            -> QCoro::Task<bool> {
            host.events.append(QStringLiteral("sleep %1").arg(duration.count()));
            co_await QCoro::sleepFor(std::chrono::milliseconds(1));
            co_return token && !token->isCancelled();
        };
        CommandPollLoop::Collaborators collaborators;
        collaborators.renewal = &host;
        collaborators.sleep = sleep;
        CommandPollLoop loop(host, collaborators);
        loop.start();
        QTRY_VERIFY(host.client->polls >= 2);
        loop.cancel();
        const QString nap = QStringLiteral("sleep %1").arg(poll_timing::pendingClaimNap);
        // Two waits between three status polls; none after the approving one.
        QCOMPARE(host.events, (QStringList{QStringLiteral("status"), nap, QStringLiteral("status"), nap,
                                           QStringLiteral("status")}));
        QVERIFY(poll_timing::pendingClaimNap >= 1'000'000'000);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PollLoopPendingClaimTest)
#include "tst_poll_loop_pending_claim.moc"
