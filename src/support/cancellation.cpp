#include "support/cancellation.h"

#include <QTimer>

#include <QCoroSignal>

namespace mornix {

void CancellationToken::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    Q_EMIT cancelled();
}

QCoro::Task<bool> cancellableSleep(QPointer<CancellationToken> token, std::chrono::milliseconds duration)
{
    if (!token || token->isCancelled())
        co_return false;
    if (duration.count() <= 0)
        co_return true;

    // Cancelling (or destroying) the token restarts the timer with no delay, ending the wait.
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(token.data(), &CancellationToken::cancelled, &timer, [&timer] { timer.start(0); });
    QObject::connect(token.data(), &QObject::destroyed, &timer, [&timer] { timer.start(0); });
    timer.start(duration);
    co_await qCoro(&timer, &QTimer::timeout);
    co_return token && !token->isCancelled();
}

}  // namespace mornix
