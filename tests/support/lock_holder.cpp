#include "support/lock_holder.h"

LockHolder::LockHolder(const QString &path)
{
    m_process.start(QStringLiteral("python3"), {QStringLiteral("-c"),
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
    if (!m_process.canReadLine() && !m_process.waitForReadyRead(timeoutMs))
        return false;
    return m_process.peek(5) == "held\n";
}

bool LockHolder::release(int timeoutMs)
{
    m_process.closeWriteChannel();
    return m_process.waitForFinished(timeoutMs);
}
