#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

namespace mornix {

// A serial work queue: one thread of its own that runs posted work items one after the other,
// in the order they were posted (delayed items when their delay has passed).
// Thread: post from any thread; the work runs on the queue's thread. Items still waiting when
// the queue is destroyed are dropped; the item that runs at that moment is finished first.
class SerialQueue : public QObject {
    Q_OBJECT
public:
    explicit SerialQueue(const QString &label, QObject *parent = nullptr);
    ~SerialQueue() override;

    void post(std::function<void()> work);
    void postDelayed(int delayMs, std::function<void()> work);

    // Blocks until every item posted so far without a delay has run. Not from the queue's thread.
    void drain();

    // No item is queued, waiting for its delay or running.
    bool isIdle() const { return m_outstanding.load() == 0; }

Q_SIGNALS:
    // Emitted (from the queue's thread) whenever the last outstanding item has finished.
    void becameIdle();

private:
    void run(const std::function<void()> &work);

    QThread m_thread;
    QObject *m_worker = nullptr;  // lives on m_thread
    std::atomic<int> m_outstanding{0};
};

}  // namespace mornix
