#include "support/serial_queue.h"

#include <QMetaObject>
#include <QSemaphore>
#include <QTimer>

namespace mornix {

SerialQueue::SerialQueue(const QString &label, QObject *parent)
    : QObject(parent)
{
    m_thread.setObjectName(label);
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

SerialQueue::~SerialQueue()
{
    m_thread.quit();
    m_thread.wait();
    delete m_worker;  // its thread has ended: the items still queued for it go with it
}

void SerialQueue::run(const std::function<void()> &work)
{
    work();
    if (m_outstanding.fetch_sub(1) == 1)
        Q_EMIT becameIdle();
}

void SerialQueue::post(std::function<void()> work)
{
    m_outstanding.fetch_add(1);
    QMetaObject::invokeMethod(
        m_worker, [this, work = std::move(work)] { run(work); }, Qt::QueuedConnection);
}

void SerialQueue::postDelayed(int delayMs, std::function<void()> work)
{
    m_outstanding.fetch_add(1);
    // The timer must be created on the queue's thread: hop there first. A precise timer: a coarse
    // one may fire up to 5 % early, and delayed work is never due before its time.
    QMetaObject::invokeMethod(
        m_worker,
        [this, delayMs, work = std::move(work)] {
            QTimer::singleShot(delayMs, Qt::PreciseTimer, m_worker, [this, work] { run(work); });
        },
        Qt::QueuedConnection);
}

void SerialQueue::drain()
{
    Q_ASSERT(QThread::currentThread() != &m_thread);
    // Items run in posting order: when this one runs, every earlier immediate item has run.
    QSemaphore reached;
    QMetaObject::invokeMethod(
        m_worker, [&reached] { reached.release(); }, Qt::QueuedConnection);
    reached.acquire();
}

}  // namespace mornix
