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

namespace mornix {

class BlockingCallTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The wait before exit sees calls that are still running, those that failed included, and
    // ends as soon as the last one has returned.
    void waitingForBlockingCallsSeesEveryRunningCall()
    {
        QVERIFY(waitForBlockingCalls(std::chrono::milliseconds(0)));
        std::atomic<bool> release{false};
        QFuture<void> slow = startBlockingCall([&release] {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        QFuture<int> failing = startBlockingCall([]() -> int { throw std::runtime_error("keychain locked"); });
        QVERIFY(!waitForBlockingCalls(std::chrono::milliseconds(50)));
        release = true;
        QVERIFY(waitForBlockingCalls(std::chrono::seconds(10)));
        QVERIFY(slow.isFinished());
        QVERIFY(failing.isFinished());
    }
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

    void callsOnASerialQueueRunInOrderOnOneThread()
    {
        // Journal writes go through this path: each call runs after the one started before it,
        // on the queue's own thread, and a failure reaches only its own awaiter.
        SerialQueue queue(QStringLiteral("test queue"));
        QThread *const caller = QThread::currentThread();
        auto order = std::make_shared<QStringList>();  // touched only on the queue's thread
        auto run = [&queue, caller, order]() -> QCoro::Task<QStringList> {
            QStringList seen;
            QFuture<QThread *> first = startBlockingCall(queue, [order] {
                // Slow enough that the calls below are queued behind it, not started beside it.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                *order << QStringLiteral("first");
                return QThread::currentThread();
            });
            QFuture<int> second = startBlockingCall(queue, [order]() -> int {
                *order << QStringLiteral("second");
                throw std::runtime_error("disk full");
            });
            QFuture<QThread *> third = startBlockingCall(queue, [order] {
                *order << QStringLiteral("third");
                return QThread::currentThread();
            });
            QThread *const firstThread = co_await first;
            try {
                co_await second;
                seen << QStringLiteral("no exception");
            } catch (const std::runtime_error &error) {
                seen << QString::fromUtf8(error.what());
            }
            QThread *const thirdThread = co_await third;
            seen << (firstThread == thirdThread && firstThread != caller ? QStringLiteral("one worker thread")
                                                                          : QStringLiteral("threads differ"));
            seen << *order;
            co_return seen;
        };
        const QStringList seen = QCoro::waitFor(run());
        QCOMPARE(seen, (QStringList{QStringLiteral("disk full"), QStringLiteral("one worker thread"),
                                    QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")}));
    }

    void drainWaitsForEveryStartedCall()
    {
        // A queue's owner drains it before destroying it: calls already started are never
        // dropped (a journal step that was started must reach the disk).
        std::atomic<int> done{0};
        {
            SerialQueue queue(QStringLiteral("drained"));
            for (int i = 0; i < 5; ++i) {
                QFuture<void> call = startBlockingCall(queue, [&done] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    ++done;
                });
                Q_UNUSED(call);
            }
            queue.drain();
            QCOMPARE(done.load(), 5);
        }
        QCOMPARE(done.load(), 5);
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
        if (!QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) != 0; }, 10000)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            QFAIL("the process did not exit while a blocking call was stuck");
        }
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(BlockingCallTest)
#include "tst_blocking_call.moc"
