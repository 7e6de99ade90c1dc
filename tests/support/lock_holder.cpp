#include "support/lock_holder.h"

#include <QElapsedTimer>

namespace mornix {

LockHolder::LockHolder(const QString &path)
{
    m_process.start(QStringLiteral("python3"),
                    {QStringLiteral("-c"),
                     QStringLiteral("import fcntl,os,sys\n"
                                    "fd=os.open(sys.argv[1],os.O_RDWR|os.O_CREAT,0o600)\n"
                                    "fcntl.flock(fd,fcntl.LOCK_EX)\nprint('held',flush=True)\n"
                                    "sys.stdin.read()\n"),
                     path});
}

LockHolder::~LockHolder()
{
    if (m_process.state() != QProcess::NotRunning && !release()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool LockHolder::waitUntilHeld(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_process.canReadLine()) {  // the line may arrive in pieces
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || !m_process.waitForReadyRead(int(left)))
            return false;
    }
    return m_process.peek(5) == "held\n";
}

bool LockHolder::release(int timeoutMs)
{
    m_process.closeWriteChannel();
    return m_process.waitForFinished(timeoutMs);
}

}  // namespace mornix
