#pragma once

#include <QObject>
#include <QPointer>

#include <QCoroTask>

#include <chrono>
#include <memory>

namespace mornix {

// A cancellation flag with a signal. QCoro tasks cannot be stopped from outside, so every
// cancellable task checks the token and sleeps through cancellableSleep().
// Thread: main thread only.
class CancellationToken : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    bool isCancelled() const { return m_cancelled; }
    void cancel();

Q_SIGNALS:
    void cancelled();

private:
    bool m_cancelled = false;
};

// Sleeps on the event loop for the given time, ending early when the token is cancelled.
// Returns true when the full time elapsed, false when cancelled (or the token is gone).
QCoro::Task<bool> cancellableSleep(QPointer<CancellationToken> token, std::chrono::milliseconds duration);

}  // namespace mornix
