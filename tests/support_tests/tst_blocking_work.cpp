// Work that blocks, kept off the caller. Blocking calls on a worker of their own: results and
// exceptions reach the awaiting coroutine, idle workers are reused, and a call that never returns
// holds up neither the caller, another call, nor the process's exit. Child processes: output read while the child runs,
// every kind of failure told apart, and the status-tool text built from it.
#include "support/blocking_call.h"
#include "support/child_process.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QDir>
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

class BlockingWorkTest : public QObject {
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
                                    QStringLiteral("save failed after running")}));
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
    }

    // A worker that has finished its call takes the next one; one that is still busy never
    // holds a new call back (the new call gets a worker of its own).
    void idleWorkersAreReusedAndBusyOnesNeverWaitedFor()
    {
        const auto threadOfCall = [] {
            QFuture<Qt::HANDLE> call = startBlockingCall([] { return QThread::currentThreadId(); });
            call.waitForFinished();
            return call.result();
        };
        QVERIFY(threadOfCall() != QThread::currentThreadId());
        QVERIFY(QTest::qWaitFor([] { return blocking_call_detail::idleWorkers() >= 1; }, 10000));
        // Every call runs on a worker that was already there: its kernel thread id is one of the
        // process's threads before the calls (threads of earlier tests may end meanwhile).
        const QStringList before = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (int i = 0; i < 5; ++i) {
            QFuture<pid_t> call = startBlockingCall([] { return ::gettid(); });
            call.waitForFinished();
            QVERIFY2(before.contains(QString::number(call.result())), "the call got a new thread");
            QVERIFY(QTest::qWaitFor([] { return blocking_call_detail::idleWorkers() >= 1; }, 10000));
        }

        std::atomic<bool> release{false};
        QFuture<Qt::HANDLE> stuck = startBlockingCall([&release] {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return QThread::currentThreadId();
        });
        const Qt::HANDLE beside = threadOfCall();  // finishes while the other call is still busy
        QVERIFY(!stuck.isFinished());
        release = true;
        stuck.waitForFinished();
        QVERIFY(stuck.result() != beside);
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

    void outputOfBothPipesIsReadWhileRunning()
    {
        // 1 MiB on each pipe, far more than a pipe holds: a runner that waited for the exit
        // before reading would hang.
        const QStringList chatty{QStringLiteral("-c"), QStringLiteral("head -c 1048576 /dev/zero | tr '\\0' o; "
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

        const ChildProcessResult slow =
            runChildProcess(QStringLiteral("sleep"), {QStringLiteral("30")}, std::chrono::milliseconds(200));
        QVERIFY(slow.started && !slow.finishedNormally && slow.timedOut);
        QCOMPARE(shell(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, 200),
                 QStringLiteral("UNKNOWN: /bin/sleep timed out"));

        // Beyond the size limit: stopped, and not mistaken for a time-out.
        const ChildProcessResult huge =
            runChildProcess(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec cat /dev/zero")},
                            std::chrono::seconds(30), 65536);
        QVERIFY(huge.started && !huge.finishedNormally && !huge.timedOut);

        // Killed by a signal: not a normal exit, whatever its output.
        const ChildProcessResult crashed = runChildProcess(
            QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo partial; kill -SEGV $$")});
        QVERIFY(crashed.started && !crashed.finishedNormally && !crashed.timedOut);
        QCOMPARE(crashed.standardOutput, QByteArray("partial\n"));

        // An exit status is reported as it is.
        const ChildProcessResult failed =
            runChildProcess(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 3")});
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

QTEST_GUILESS_MAIN(BlockingWorkTest)
#include "tst_blocking_work.moc"
