#include "api/pinned_session_failure_store.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

// Process-wide state, the equivalent of the serial queue "ai.veltro.mornix.pinned.failures".
struct FailureState {
    QMutex mutex;
    std::optional<QString> outcome;
};

FailureState &state()
{
    static FailureState instance;
    return instance;
}

}  // namespace

void PinnedSessionFailureStore::set(const QString &outcome)
{
    FailureState &s = state();
    QMutexLocker locker(&s.mutex);
    s.outcome = outcome;
}

std::optional<QString> PinnedSessionFailureStore::take()
{
    FailureState &s = state();
    QMutexLocker locker(&s.mutex);
    std::optional<QString> outcome;
    outcome.swap(s.outcome);
    return outcome;
}
