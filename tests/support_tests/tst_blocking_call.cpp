// Blocking calls on a thread of their own: results and exceptions reach the awaiting coroutine,
// and a call that never returns holds up neither the caller nor the process's exit.
#include "support/blocking_call.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class TestBlockingCall : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void resultsAndExceptionsReachTheAwaitingCoroutine()
    {
        QThread *const caller = QThread::currentThread();
        auto run = [caller]() -> QCoro::Task<QStringList> {
            QStringList seen;
            QFuture<QThread *> where = startBlockingCall([] { return QThread::currentThread(); });
            QThread *const worker = co_await where;
            seen << (worker != caller ? QStringLiteral("ran elsewhere") : QStringLiteral("ran on caller"));
            seen << (QThread::currentThread() == caller ? QStringLiteral("resumed on caller")
                                                         : QStringLiteral("resumed elsewhere"));

            QFuture<int> failing = startBlockingCall([]() -> int { throw std::runtime_error("keychain locked"); });
            try {
                const int value = co_await failing;
                seen << QStringLiteral("value %1").arg(value);
            } catch (const std::runtime_error &error) {
                seen << QString::fromUtf8(error.what());
            }

            std::atomic<bool> ran{false};
            QFuture<void> failingVoid = startBlockingCall([&ran] {
                ran = true;
                throw std::logic_error("save failed");
            });
            try {
                co_await failingVoid;
                seen << QStringLiteral("no exception");
            } catch (const std::logic_error &error) {
                seen << QString::fromUtf8(error.what()) + (ran ? QStringLiteral(" after running") : QString());
            }
            co_return seen;
        };
        const QStringList seen = QCoro::waitFor(run());
        QCOMPARE(seen, (QStringList{QStringLiteral("ran elsewhere"), QStringLiteral("resumed on caller"),
                                    QStringLiteral("keychain locked"), QStringLiteral("save failed after running")}));
    }

    void aStuckCallHoldsUpNeitherTheCallerNorTheExit()
    {
        // In a child process: start a call that never returns, then exit normally (static
        // destructors and all). The child must be gone promptly.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            QFuture<int> stuck = startBlockingCall([] {
                for (;;)
                    ::pause();
                return 0;
            });
            std::exit(stuck.isFinished() ? 3 : 0);
        }
        int status = 0;
        pid_t reaped = 0;
        for (int i = 0; i < 200 && reaped == 0; ++i) {
            reaped = ::waitpid(child, &status, WNOHANG);
            if (reaped == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (reaped == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            QFAIL("the process did not exit while a blocking call was stuck");
        }
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

QTEST_GUILESS_MAIN(TestBlockingCall)
#include "tst_blocking_call.moc"
