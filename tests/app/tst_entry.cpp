#include "app/arguments.h"
#include "app/cli_output.h"
#include "support/recording_system_log.h"

#include <QTest>
#include <QThread>

#include <atomic>

namespace mornix {

class EntryTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notifyUpdatePlacementRule_data();
    void notifyUpdatePlacementRule();
    void qtMessagesReachTheLogOnlyWhileTheRouteLives();
    void routeEndsSafelyWhileOtherThreadsLog();
};

namespace {
QStringList g_previousHandlerMessages;
void previousHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_previousHandlerMessages.append(message);
}
}  // namespace

void EntryTest::qtMessagesReachTheLogOnlyWhileTheRouteLives()
{
    const QtMessageHandler original = qInstallMessageHandler(previousHandler);
    auto log = std::make_shared<RecordingSystemLog>();
    std::weak_ptr<RecordingSystemLog> watch = log;
    {
        const QtMessageRoute route(log);
        log.reset();  // the route alone keeps it
        qWarning("routed");
        QCOMPARE(watch.lock()->messages(), QStringList{QStringLiteral("routed")});
    }
    // The route is gone: the log with it, and the handler from before is back.
    QVERIFY(watch.expired());
    qWarning("after");
    qInstallMessageHandler(original);
    QCOMPARE(g_previousHandlerMessages, QStringList{QStringLiteral("after")});
}

namespace {
// A log that notices being written to while it is being destroyed (its destructor lingers to
// widen that window).
class LingeringLog final : public SystemLog {
public:
    explicit LingeringLog(std::atomic<int> *writes, std::atomic<int> *lateWrites)
        : m_writes(writes), m_lateWrites(lateWrites) {}
    ~LingeringLog() override
    {
        m_dying.store(true);
        QThread::usleep(200);
    }
    void write(Level, const QString &) override
    {
        m_writes->fetch_add(1);
        if (m_dying.load())
            m_lateWrites->fetch_add(1);
    }

private:
    std::atomic<int> *m_writes;
    std::atomic<int> *m_lateWrites;
    std::atomic<bool> m_dying{false};
};

std::atomic<int> g_messagesBetweenRoutes{0};
void countingHandler(QtMsgType, const QMessageLogContext &, const QString &)
{
    g_messagesBetweenRoutes.fetch_add(1);
}
}  // namespace

void EntryTest::routeEndsSafelyWhileOtherThreadsLog()
{
    const QtMessageHandler original = qInstallMessageHandler(countingHandler);
    std::atomic<int> writes{0};
    std::atomic<int> lateWrites{0};
    std::atomic<bool> stop{false};
    QList<QThread *> writers;
    for (int i = 0; i < 3; ++i) {
        writers.append(QThread::create([&stop] {
            while (!stop.load())
                qWarning("from a worker");
        }));
        writers.last()->start();
    }
    // Routes come and go (as at the end of every mode) while the workers keep logging.
    for (int round = 0; round < 200; ++round) {
        const QtMessageRoute route(std::make_shared<LingeringLog>(&writes, &lateWrites));
        QThread::usleep(50);
    }
    stop.store(true);
    for (QThread *writer : writers) {
        writer->wait();
        delete writer;
    }
    qInstallMessageHandler(original);
    // Both sides saw messages: the routes' logs while they lived, the previous handler between.
    QVERIFY(writes.load() > 0);
    QVERIFY(g_messagesBetweenRoutes.load() > 0);
    QCOMPARE(lateWrites.load(), 0);
}

void EntryTest::notifyUpdatePlacementRule_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("version");
    QTest::newRow("version last") << QStringList{"exe", "--notify-update", "1.2.3"} << QStringLiteral("1.2.3");
    QTest::newRow("other switch before") << QStringList{"exe", "--x", "--notify-update", "2.0"} << QStringLiteral("2.0");
    QTest::newRow("extra argument after") << QStringList{"exe", "--notify-update", "1.2.3", "more"} << QString();
    QTest::newRow("switch last") << QStringList{"exe", "--notify-update"} << QString();
    QTest::newRow("first occurrence decides") << QStringList{"exe", "--notify-update", "--notify-update", "9"} << QString();
    QTest::newRow("version unchanged") << QStringList{"exe", "--notify-update", " 3.0 "} << QStringLiteral(" 3.0 ");
}

void EntryTest::notifyUpdatePlacementRule()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, version);
    const std::optional<QString> parsed = Arguments(arguments).notifyUpdateVersion();
    QCOMPARE(parsed.has_value(), !version.isNull());
    if (parsed)
        QCOMPARE(*parsed, version);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(EntryTest)
#include "tst_entry.moc"
